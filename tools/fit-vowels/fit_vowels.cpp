// tractwave-fit-vowels: fits the vowel shapes of the speech library.
//
// Each shape starts from a published area function (Story, Titze & Hoffman
// 1996), averaged onto the engine's 25 sections, and is moved until the
// engine's own resonances at the reference rate land on the target formants.
// The engine's tube acts longer than the 25 sections it has (a uniform tube
// resonates as a 21.4 cm one at 48 kHz), so the published shapes come out
// 15-30% low; fitting against the engine itself, rather than against a
// transmission-line model, absorbs that along with every other quirk of the
// engine.
//
//   tractwave-fit-vowels DATA_DIR OUTPUT.inc
//
// DATA_DIR holds fit_plan.csv, area_functions_story1996.csv and
// vowel_formants_adult_male.csv (see their README). The output is the table
// the speech library compiles in.
#include "resonances.h"

#include "tractwave.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kOral = TRACTWAVE_ORAL_SECTIONS;
constexpr float kRate = 48000.0f;
// M_PI is not standard C++ (MinGW leaves it out in strict mode).
constexpr double kPi = 3.14159265358979323846;
// Diameter bounds of the fit (the engine's parameter path uses 0.05 ... 4.5);
// the lower one keeps fitted vowels clear of the engine's turbulence
// threshold (0.75) except where the published shape is narrow.
constexpr double kMinDiameter = 0.25, kMaxDiameter = 4.5;
// Weights of staying near the published shape and of a smooth profile,
// against log(F / target) of each formant. Small: the fit may reshape the
// tract as much as the targets need, and these only pick the nearest
// solution among the many that reach them.
constexpr double kStay = 0.001, kSmooth = 0.002;

using Shape = std::array<double, kOral>;

struct Plan {
  std::string shape, start, source;
  std::array<double, 3> target;
};

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error(what);
}

// Rows of a CSV file as maps from the header's names.
std::vector<std::map<std::string, std::string>>
read_csv(const std::string &path) {
  std::ifstream in(path);
  if (!in)
    fail(path + ": cannot open");
  std::string line;
  std::getline(in, line);
  const std::vector<std::string> header = tw::fit::split_csv(line);
  std::vector<std::map<std::string, std::string>> rows;
  for (int number = 2; std::getline(in, line); ++number) {
    if (line.empty())
      continue;
    const std::vector<std::string> fields = tw::fit::split_csv(line);
    if (fields.size() != header.size())
      fail(path + ":" + std::to_string(number) + ": expected " +
           std::to_string(header.size()) + " fields");
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < header.size(); ++i)
      row[header[i]] = fields[i];
    rows.push_back(row);
  }
  return rows;
}

double number(const std::string &text, const std::string &where) {
  try {
    size_t used = 0;
    const double x = std::stod(text, &used);
    if (used == text.size() && std::isfinite(x))
      return x;
  } catch (const std::exception &) {
  }
  fail(where + ": not a number: '" + text + "'");
}

// A piecewise-constant area function averaged onto kOral equal sections.
Shape to_sections(const std::vector<double> &areas) {
  const double m = static_cast<double>(areas.size());
  Shape out{};
  for (int k = 0; k < kOral; ++k) {
    const double lo = m * k / kOral, hi = m * (k + 1) / kOral;
    double sum = 0.0;
    for (int j = static_cast<int>(std::floor(lo)); j < std::ceil(hi); ++j)
      sum += areas[j] * (std::min(hi, j + 1.0) - std::max(lo, double(j)));
    out[k] = sum / (hi - lo);
  }
  return out;
}

// Diameter in cm of a circle of the same area: the engine only sees ratios,
// but its turbulence threshold and nasal port are in these units.
double diameter(double area_cm2) { return 2.0 * std::sqrt(area_cm2 / kPi); }

std::array<float, kOral> to_floats(const Shape &log_d) {
  std::array<float, kOral> d;
  for (int k = 0; k < kOral; ++k)
    d[k] = static_cast<float>(std::exp(log_d[k]));
  return d;
}

// Residuals of a log-diameter shape; empty when it has fewer than three
// resonances below 5 kHz.
std::vector<double> residuals(const Shape &x, const Shape &x0,
                              const std::array<double, 3> &target) {
  const std::vector<double> f = tw::fit::formants(to_floats(x).data(), kRate);
  if (f.size() < 3)
    return {};
  std::vector<double> r;
  for (int i = 0; i < 3; ++i)
    r.push_back(std::log(f[i] / target[i]));
  for (int k = 0; k < kOral; ++k)
    r.push_back(std::sqrt(kStay) * (x[k] - x0[k]));
  for (int k = 0; k + 1 < kOral; ++k)
    r.push_back(std::sqrt(kSmooth) * (x[k + 1] - x[k]));
  return r;
}

double sum_sq(const std::vector<double> &r) {
  double s = 0.0;
  for (double v : r)
    s += v * v;
  return s;
}

// Solves A x = b for a symmetric positive definite A (Cholesky).
Shape solve(std::array<Shape, kOral> a, Shape b) {
  for (int j = 0; j < kOral; ++j) {
    for (int k = 0; k < j; ++k)
      a[j][j] -= a[j][k] * a[j][k];
    a[j][j] = std::sqrt(a[j][j]);
    for (int i = j + 1; i < kOral; ++i) {
      for (int k = 0; k < j; ++k)
        a[i][j] -= a[i][k] * a[j][k];
      a[i][j] /= a[j][j];
    }
  }
  for (int i = 0; i < kOral; ++i) {
    for (int k = 0; k < i; ++k)
      b[i] -= a[i][k] * b[k];
    b[i] /= a[i][i];
  }
  for (int i = kOral - 1; i >= 0; --i) {
    for (int k = i + 1; k < kOral; ++k)
      b[i] -= a[k][i] * b[k];
    b[i] /= a[i][i];
  }
  return b;
}

// Levenberg-Marquardt over the log diameters, with a finite-difference
// Jacobian (the resonances come from rendering, not from a formula).
Shape fit(const Shape &start, const std::array<double, 3> &target) {
  Shape x0;
  for (int k = 0; k < kOral; ++k)
    x0[k] = std::log(std::clamp(start[k], kMinDiameter, kMaxDiameter));
  Shape x = x0;
  std::vector<double> r = residuals(x, x0, target);
  if (r.empty())
    fail("the starting shape has fewer than three resonances below 5 kHz");
  double damping = 1e-2;
  for (int iteration = 0; iteration < 60 && damping < 1e6; ++iteration) {
    const double h = 0.01;
    std::vector<Shape> jacobian(r.size());
    for (int k = 0; k < kOral; ++k) {
      Shape xp = x;
      xp[k] += h;
      const std::vector<double> rp = residuals(xp, x0, target);
      for (size_t i = 0; i < r.size(); ++i)
        jacobian[i][k] = rp.empty() ? 0.0 : (rp[i] - r[i]) / h;
    }
    for (; damping < 1e6; damping *= 4.0) {
      std::array<Shape, kOral> a{};
      Shape g{};
      for (size_t i = 0; i < r.size(); ++i)
        for (int j = 0; j < kOral; ++j) {
          g[j] -= jacobian[i][j] * r[i];
          for (int k = 0; k < kOral; ++k)
            a[j][k] += jacobian[i][j] * jacobian[i][k];
        }
      for (int j = 0; j < kOral; ++j)
        a[j][j] += damping;
      const Shape step = solve(a, g);
      Shape next;
      for (int k = 0; k < kOral; ++k)
        next[k] = std::clamp(x[k] + step[k], std::log(kMinDiameter),
                             std::log(kMaxDiameter));
      const std::vector<double> rn = residuals(next, x0, target);
      if (!rn.empty() && sum_sq(rn) < sum_sq(r)) {
        const bool converged = sum_sq(r) - sum_sq(rn) < 1e-10;
        x = next;
        r = rn;
        damping = std::max(damping / 3.0, 1e-6);
        if (converged)
          return x;
        break;
      }
    }
  }
  return x;
}

int run(const std::string &dir, const std::string &output) {
  std::map<std::string, std::vector<double>> story;
  for (const auto &row : read_csv(dir + "/area_functions_story1996.csv")) {
    std::vector<double> areas;
    std::istringstream in(row.at("areas_cm2_glottis_to_lips"));
    for (std::string a; in >> a;)
      areas.push_back(number(a, "area function " + row.at("arpabet")));
    story[row.at("arpabet")] = areas;
  }
  std::map<std::string, std::array<double, 3>> means;
  for (const auto &row : read_csv(dir + "/vowel_formants_adult_male.csv"))
    means[row.at("arpabet") + "/" + row.at("source")] = {
        number(row.at("F1_hz"), "F1"), number(row.at("F2_hz"), "F2"),
        number(row.at("F3_hz"), "F3")};

  std::vector<Plan> plans;
  for (const auto &row : read_csv(dir + "/fit_plan.csv")) {
    Plan p{row.at("shape"), row.at("start"), row.at("source"), {}};
    const auto found = means.find(p.shape + "/" + p.source);
    if (found != means.end()) {
      p.target = found->second;
    } else {
      const char *names[] = {"F1_hz", "F2_hz", "F3_hz"};
      for (int i = 0; i < 3; ++i)
        p.target[i] = number(row.at(names[i]), "fit_plan.csv " + p.shape);
    }
    plans.push_back(p);
  }

  std::ostringstream table;
  table << "// The speech library's vowel shapes: oral diameters (cm, glottis "
           "first)\n// whose resonances in the engine at "
        << static_cast<int>(kRate)
        << " Hz match the target formants.\n// Written by "
           "tools/fit-vowels/fit_vowels.cpp from data/speech/; do not edit.\n"
           "// { name, source of the targets, target F1-F3 (Hz), diameters }\n";
  std::printf("%-4s %-18s %22s %22s %s\n", "", "targets from", "target (Hz)",
              "fitted (Hz)", "error (%)");
  for (const Plan &p : plans) {
    std::vector<double> areas;
    std::istringstream parts(p.start);
    std::vector<Shape> starts;
    for (std::string name; std::getline(parts, name, '+');) {
      const auto found = story.find(name);
      if (found == story.end())
        fail("fit_plan.csv " + p.shape + ": no area function " + name);
      starts.push_back(to_sections(found->second));
    }
    Shape start{};
    for (int k = 0; k < kOral; ++k) {
      double log_sum = 0.0;
      for (const Shape &s : starts)
        log_sum += std::log(s[k]);
      start[k] = diameter(std::exp(log_sum / starts.size()));
    }
    const std::array<float, kOral> d = to_floats(fit(start, p.target));
    const std::vector<double> f = tw::fit::formants(d.data(), kRate);
    char line[256];
    std::snprintf(line, sizeof line, "%-4s %-18s %6.0f %6.0f %6.0f   ",
                  p.shape.c_str(), p.source.c_str(), p.target[0], p.target[1],
                  p.target[2]);
    std::string report = line;
    table << "// " << p.shape << ": fitted resonances";
    for (int i = 0; i < 3; ++i) {
      std::snprintf(line, sizeof line, " %6.0f", f[i]);
      report += line;
      table << line;
    }
    report += "  ";
    for (int i = 0; i < 3; ++i) {
      std::snprintf(line, sizeof line, " %+5.1f",
                    100.0 * (f[i] / p.target[i] - 1.0));
      report += line;
    }
    std::puts(report.c_str());
    table << " Hz\n{\"" << p.shape << "\", \"" << p.source << "\", {"
          << p.target[0] << ", " << p.target[1] << ", " << p.target[2]
          << "},\n {";
    for (int k = 0; k < kOral; ++k) {
      // Nine significant digits give back exactly this float: the table
      // holds the shape that was measured, not a rounding of it.
      std::snprintf(line, sizeof line, "%.9gf", d[k]);
      table << line << (k + 1 < kOral ? (k % 5 == 4 ? ",\n  " : ", ") : "");
    }
    table << "}},\n";
  }
  std::ofstream out(output);
  out << table.str();
  out.close();
  if (!out)
    fail(output + ": cannot write");
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: tractwave-fit-vowels DATA_DIR OUTPUT.inc\n";
    return 2;
  }
  try {
    return run(argv[1], argv[2]);
  } catch (const std::exception &e) {
    std::cerr << "tractwave-fit-vowels: " << e.what() << "\n";
    return 2;
  }
}
