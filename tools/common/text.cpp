#include "text.h"
#include "os.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw::tool {

namespace {

constexpr std::size_t kQuoteChars = 40;

// An optional sign, digits with an optional decimal point (".5" and "5."
// included, as spreadsheets write them), an optional exponent. Nothing else:
// no "nan", "inf" or hexadecimal.
bool is_decimal(std::string_view s) {
  std::size_t i = 0, whole = 0, fraction = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    ++i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
    ++i, ++whole;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
      ++i, ++fraction;
  }
  if (whole + fraction == 0)
    return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
      ++i;
    const std::size_t from = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
      ++i;
    if (i == from)
      return false;
  }
  return i == s.size();
}

} // namespace

std::string read_text_file(const std::string &path, const std::string &what,
                           std::size_t max_bytes, const std::string &raise,
                           bool allow_stdin) {
  const auto too_large = [&] {
    return Error(path + ": the " + what + " is larger than " +
                 std::to_string(max_bytes >> 20) + " MiB" +
                 (raise.empty() ? "" : " (" + raise + ")"));
  };
  const bool from_stdin = allow_stdin && path == "-";
  const int fd = from_stdin ? os::standard_input() : os::open_read(path);
  os::Status st;
  if (fd < 0) {
    const int error = errno;
    // Windows opens no folder as a file.
    if (os::status(path, st) && st.kind == os::Kind::directory)
      throw Error(path + ": is a directory, not a " + what);
    throw Error(path + ": cannot open the " + what + ": " +
                std::strerror(error));
  }
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own)
        os::close(fd);
    }
  } closer{fd, !from_stdin};
  if (!os::status(fd, st))
    throw Error(path + ": cannot read the " + what + ": " +
                std::strerror(errno));
  if (st.kind == os::Kind::directory)
    throw Error(path + ": is a directory, not a " + what);
  // A file says how large it is; a FIFO or device is read into a buffer
  // that grows, but never past the limit, so it never holds much more.
  const bool regular = st.kind == os::Kind::regular;
  if (regular && st.size > max_bytes)
    throw too_large();
  std::string text;
  if (regular)
    text.reserve(static_cast<std::size_t>(st.size));
  char buf[65536];
  for (;;) {
    const long n = os::read_some(fd, buf, sizeof buf);
    if (n < 0)
      throw Error(path + ": cannot read the " + what + ": " +
                  std::strerror(errno));
    if (n == 0)
      break;
    const std::size_t size = text.size() + static_cast<std::size_t>(n);
    if (size > max_bytes)
      throw too_large();
    if (size > text.capacity())
      text.reserve(std::min(max_bytes, std::max(size, 2 * text.capacity())));
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

// Correctly rounded; the programs never change the "C" locale, so strtod
// reads '.' as the decimal point.
std::optional<double> decimal_number(std::string_view text) {
  if (!is_decimal(text))
    return std::nullopt;
  return std::strtod(std::string(text).c_str(), nullptr);
}

std::string quote(std::string_view text) {
  static const char *hex = "0123456789abcdef";
  std::string out = "\"";
  std::size_t i = 0, chars = 0;
  while (i < text.size()) {
    if (chars == kQuoteChars) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // Decode one character; a byte that starts no sequence stands alone.
    std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c >= 0x80 && (c < 0xC2 || c > 0xF4))
      len = 1;
    len = std::min(len, text.size() - i);
    unsigned cp = len == 1 ? c : c & (0x7F >> len);
    bool ok = len > 1 || c < 0x80;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char ck = static_cast<unsigned char>(text[i + k]);
      ok = ok && (ck & 0xC0) == 0x80;
      cp = (cp << 6) | (ck & 0x3F);
    }
    if (!ok) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
      ++i, ++chars;
      continue;
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||
               (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4)
        out += hex[(cp >> shift) & 15];
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
    ++chars;
  }
  return out + "\"";
}

std::string printable(const std::string &message) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(message[i]);
    const bool c1 = c == 0xC2 && i + 1 < message.size() &&
                    static_cast<unsigned char>(message[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(message[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x",
                    c1 ? static_cast<unsigned char>(message[++i]) : c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string decibels(double level) {
  if (level <= 0.0)
    return "-inf dBFS";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f dBFS", 20.0 * std::log10(level));
  return buf;
}

void append_utf8(std::string &out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

} // namespace tw::tool
