-- Ardour, headless (ardour7-lua) on the running JACK server: a new session
-- with one MIDI track whose instrument is tractwave (LV2), its input
-- monitored, so that MIDI sent to the track's input plays through the
-- plugin to the track's output. It stays up for TW_SECONDS seconds, while
-- the CI stage plays notes in and records the output, then saves.
local backend = AudioEngine:set_backend("JACK", "", "")
assert(backend, "no JACK backend")
assert(AudioEngine:start(false) == 0, "the engine did not start")
local s = create_session(os.getenv("TW_SESSION"), "tractwave", 48000)
assert(s, "no session")
local info = ARDOUR.LuaAPI.new_plugin_info("urn:tractwave:instrument",
                                           ARDOUR.PluginType.LV2)
assert(not info:isnil(), "tractwave (LV2) not found")
local tracks = s:new_midi_track(
  ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1),
  ARDOUR.ChanCount(ARDOUR.DataType("audio"), 1), true, info, nil, nil, 1,
  "voice", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true,
  true)
local t = tracks:front()
assert(t, "no track")
print("track " .. t:name() .. ", instrument " .. t:nth_plugin(0):display_name())
t:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput,
                                 PBD.GroupControlDisposition.NoGroup)
print("input " .. t:input():nth(0):name() .. ", output " ..
      t:output():nth(0):name())
io.stdout:flush()
os.execute("sleep " .. (os.getenv("TW_SECONDS") or "8"))
s:save_state("", false, false, false, false, false)
print("session saved")
