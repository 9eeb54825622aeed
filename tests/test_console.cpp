// The console's output: the text summary (units, module state words, channel
// numbers), the JSON forms (shortest floats, times with their UTC offset),
// the English glosses of the alarms, and the capture of the devices' trace
// lines on standard output.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "console/alarm_event_format.h"
#include "console/alarm_glossary.h"
#include "records/utf8_text.h"
#include "runtime/event_stream.h"
#include "runtime/local_time_text.h"
#include "runtime/power_system.h"
#include "runtime/stdout_trace.h"
#include "runtime/system_summary.h"
#include "tests/support/scoped_variable.h"
#include "tests/support/temp_dir.h"
#include "units/ac/ac_alarm_table.h"
#include "units/dc/dc_alarm_rows.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/korvan_rc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace {

using runtime::AlarmEvent;
using runtime::PointReading;
using runtime::SystemSummary;

Json::Value Parse(const std::string& line) {
  Json::Value value;
  std::string errors;
  EXPECT_TRUE(ParseJsonText(line, value, errors)) << line << ": " << errors;
  return value;
}

PointReading Point(const std::string& name, float value) {
  return PointReading{name, true, value, ""};
}
PointReading Failed(const std::string& name, const std::string& status) {
  return PointReading{name, false, 0, status};
}

AlarmEvent Alarm(const std::string& id, const std::string& code, const std::string& name,
                 const std::string& text) {
  AlarmEvent alarm;
  alarm.raised = true;
  alarm.time = "2026-12-08 10:00:00";
  alarm.data_id = 100;
  alarm.record_type = 5211;
  alarm.level = 2;
  alarm.id = id;
  alarm.code = code;
  alarm.name = name;
  alarm.text = text;
  return alarm;
}

SystemSummary Sample() {
  SystemSummary summary;
  summary.system = "site";
  summary.data_id = 100;
  summary.time = "2026-12-08 10:00:05";
  summary.reason = "cycle";
  runtime::UnitSummary ac;
  ac.data_id = 11;
  ac.points = {Point("ia", 12.5f), Point("ia_alert", 2), Point("channel_0_a", 219.99444580078125f),
               Point("channel_0_f", 50.0f), Failed("channel_1_a", "数据已超时")};
  summary.ac_units.push_back(ac);
  runtime::UnitSummary dc;
  dc.data_id = 21;
  dc.points = {Point("v", 53.6f), Point("i", -1.25f)};
  summary.dc_units.push_back(dc);
  runtime::RectifierSummary& group = summary.rectifiers;
  group.present = true;
  group.has_record = true;
  group.data_id = 100;
  group.record.output_voltage = 53.5f;
  group.record.modules = {
      {10.0f, 0, 0, 0, 0}, {0.0f, 1, 1, 1, 1}, {5.0f, 0, 0, 2, 0}, {1.0f, 9, 9, 9, 9}};
  summary.alarms = {Alarm("RC_0", "06024", "整流模块故障告警", "模块2整流模块故障告警"),
                    Alarm("VENDOR_9", "09999", "其他告警", "其他告警")};
  summary.line.cycles = 4;
  summary.line.last_cycle = "2026-12-08 10:00:04";
  return summary;
}

// ---------------------------------------------------------------------------
// Text summary

TEST(SummaryText, ShowsUnitsStateWordsChannelsFromOneAndGlossedAlarms) {
  const std::string text = runtime::FormatSummaryText(Sample());
  for (const char* expected : {
           "ia 12.50 A",
           "ia_alert 2\n",
           "channel 1  a 219.99 V  f 50.00 Hz\n",
           "channel 2  a 数据已超时 (data timed out)\n",
           "v 53.60 V  i -1.25 A\n",
           "output 53.50 V, 4 modules",
           "module 1: 10.00 A, on, limit, float, ok\n",
           "module 2: 0.00 A, off, no limit, equalise, fault\n",
           "module 3: 5.00 A, on, limit, test, ok\n",
           "module 4: 1.00 A, on/off 9, current limit 9, charge mode 9, fault 9\n",
           // The device's own name and text, the gloss next to them.
           "RC_0 06024 整流模块故障告警: 模块2整流模块故障告警 — rectifier module 2 fault (level 2",
           // An alarm the glossary does not know is printed as it is.
           "VENDOR_9 09999 其他告警: 其他告警 (level 2",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  EXPECT_EQ(text.find("channel 0"), std::string::npos) << text;
  EXPECT_EQ(text.find("ia_alert 2.00"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------
// JSON lines

TEST(SummaryJson, FloatsAreTheShortestTextThatReadsBackAsTheSameFloat) {
  struct Row {
    float value;
    const char* text;  // as it must appear in the line
  };
  const std::vector<Row> rows = {
      {219.99444580078125f, "219.99445"},
      {53.6f, "53.6"},
      {0.1f, "0.1"},
      {-1.25f, "-1.25"},
      {16777217.0f, "16777216.0"},
      {3.4028235e38f, "3.4028235e+38"},
  };
  for (const Row& row : rows) {
    SystemSummary summary;
    summary.system = "site";
    runtime::UnitSummary dc;
    dc.points = {Point("v", row.value)};
    summary.dc_units.push_back(dc);
    const std::string line = runtime::FormatSummaryJson(summary);
    const std::smatch found = [&] {
      std::smatch match;
      std::regex_search(line, match, std::regex("\"v\":([^,}]+)"));
      return match;
    }();
    ASSERT_FALSE(found.empty()) << line;
    const std::string number = found[1];
    EXPECT_EQ(std::strtof(number.c_str(), nullptr), row.value) << number;
    EXPECT_EQ(number, row.text);
  }
}

TEST(SummaryJson, KeepsPointNamesAddsGlossesAndWritesTimesWithTheirOffset) {
  ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  SystemSummary summary = Sample();
  summary.dc_units[0].points.push_back(Point("nan", std::numeric_limits<float>::quiet_NaN()));
  // Values by name: NaN as a text, where a point's is null.
  summary.values = {{"dc.1.output.voltage", 53.6f},
                    {"input.frequency", std::numeric_limits<double>::quiet_NaN()}};
  const std::string line = runtime::FormatSummaryJson(summary);
  EXPECT_NE(line.find("\"values\":{\"dc.1.output.voltage\":53.6,\"input.frequency\":\"NaN\"}"),
            std::string::npos)
      << line;
  const Json::Value root = Parse(line);
  EXPECT_EQ(root["time"].asString(), "2026-12-08T10:00:05+01:00");
  EXPECT_EQ(root["line"]["last_cycle"].asString(), "2026-12-08T10:00:04+01:00");
  const Json::Value& points = root["ac"][0]["points"];
  EXPECT_TRUE(points.isMember("channel_0_a"));
  EXPECT_EQ(points["channel_1_a"].asString(), "数据已超时");
  EXPECT_TRUE(root["dc"][0]["points"]["nan"].isNull());
  const Json::Value& alarm = root["alarms"][0];
  EXPECT_EQ(alarm["name"].asString(), "整流模块故障告警");
  EXPECT_EQ(alarm["text"].asString(), "模块2整流模块故障告警");
  EXPECT_EQ(alarm["gloss"].asString(), "rectifier module 2 fault");
  EXPECT_EQ(alarm["since"].asString(), "2026-12-08T10:00:00+01:00");
  EXPECT_FALSE(root["alarms"][1].isMember("gloss"));
  EXPECT_EQ(root["rectifiers"]["modules"][1]["on_off"].asUInt(), 1u);
}

TEST(AlarmEventFormat, TextAndJsonCarryTheGlossBesideTheDevicesTexts) {
  ZoneScope zone("UTC0");
  const AlarmEvent alarm = Alarm("AC_8", "06017", "交流输入缺相告警", "交流屏1输入线/相电压AB/A");
  EXPECT_EQ(
      runtime::FormatAlarmEventText("site", alarm),
      "site: alarm RAISED AC_8 06017 交流输入缺相告警: 交流屏1输入线/相电压AB/A — AC channel 1 "
      "input phase missing, line/phase voltage AB/A (level 2, data id 100) at 2026-12-08 "
      "10:00:00\n");
  const Json::Value json = Parse(runtime::FormatAlarmEventJson("site", alarm));
  EXPECT_EQ(json["event"].asString(), "alarm_raised");
  EXPECT_EQ(json["time"].asString(), "2026-12-08T10:00:00+00:00");
  EXPECT_EQ(json["name"].asString(), "交流输入缺相告警");
  EXPECT_EQ(json["text"].asString(), "交流屏1输入线/相电压AB/A");
  EXPECT_EQ(json["gloss"].asString(), "AC channel 1 input phase missing, line/phase voltage AB/A");
  EXPECT_FALSE(json.isMember("since"));
}

// A device's text reaches a terminal or the journal as one line of printable
// text: a newline could forge a journal line of any priority, escape bytes
// could drive the terminal. JSON keeps the text as it is.
TEST(AlarmEventFormat, ADevicesControlCharactersAreEscapedInTextOnly) {
  ZoneScope zone("UTC0");
  const std::string forged = "KORVAN\n<0>FAKE\r\x1b[2J\x7f\xc2\x9b";
  const AlarmEvent alarm = Alarm("device_model", "70319", "型号", forged);
  EXPECT_EQ(runtime::FormatAlarmEventText("site", alarm),
            "site: alarm RAISED device_model 70319 型号: KORVAN\\n<0>FAKE\\r\\x1B[2J\\x7F"
            "\\u009B — device configuration check: the power system reports a model the "
            "driver does not support (level 2, data id 100) at 2026-12-08 10:00:00\n");
  EXPECT_EQ(Parse(runtime::FormatAlarmEventJson("site", alarm))["text"].asString(), forged);
  EXPECT_EQ(utf8_text::Printable("tab\there \\ é"), "tab\\there \\ é");
}

TEST(IsoLocalTime, AddsTheOffsetInForceAtThatMoment) {
  struct Row {
    const char* zone;
    const char* local;
    const char* iso;
  };
  const std::vector<Row> rows = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2026-12-08 10:00:00", "2026-12-08T10:00:00+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2026-07-01 23:59:59", "2026-07-01T23:59:59+02:00"},
      {"UTC0", "2026-01-01 00:00:00", "2026-01-01T00:00:00+00:00"},
      {"<-0330>3:30", "2026-03-01 08:15:00", "2026-03-01T08:15:00-03:30"},
      {"<+0545>-5:45", "2026-03-01 08:15:00", "2026-03-01T08:15:00+05:45"},
      // Not a time: passed on as it is.
      {"UTC0", "0000-00-00 00:00:00", "0000-00-00 00:00:00"},
      {"UTC0", "", ""},
      {"UTC0", "2026-12-08T10:00:00", "2026-12-08T10:00:00"},
      {"UTC0", "2026-12-08 10:00:00 ", "2026-12-08 10:00:00 "},
  };
  for (const Row& row : rows) {
    ZoneScope zone(row.zone);
    EXPECT_EQ(runtime::IsoLocalTime(row.local), row.iso) << row.zone << " " << row.local;
  }
}

// The store compares these texts as text: always "YYYY-MM-DD HH:MM:SS", as
// boost's ISO text of the moment with its fraction cut.
TEST(LocalTimeText, WritesEveryFieldWithItsZeros) {
  using boost::posix_time::ptime;
  using boost::posix_time::time_duration;
  const auto iso = [](const ptime& time) {
    std::string text = boost::posix_time::to_iso_extended_string(time).substr(0, 19);
    text[10] = ' ';
    return text;
  };
  const ptime start(boost::gregorian::date(1400, 1, 1));
  int checked = 0;
  for (ptime time = start; time.date().year() < 9999;
       time += time_duration(24 * 97 + 7, 13, 59, 123456)) {
    ASSERT_EQ(runtime::LocalTimeText(time), iso(time));
    ++checked;
  }
  EXPECT_GT(checked, 30000);
  EXPECT_EQ(runtime::LocalTimeText(
                ptime(boost::gregorian::date(2026, 12, 9), time_duration(23, 59, 59, 999999))),
            "2026-12-09 23:59:59");
  EXPECT_EQ(runtime::LocalTimeText(ptime()), "0000-00-00 00:00:00");
}

// Rows are converted in time order on one thread, through both summer-time
// changes: each text is the moment whose local time it is, and a text that
// names no moment (the skipped hour) is taken as mktime takes it.
TEST(UnixSecondsOf, FollowsTheZonesOffsetThroughEveryChange) {
  ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  int checked = 0;
  for (const char* day : {"2026-03-29", "2026-10-25"}) {
    for (int minute = 0; minute < 5 * 60; minute += 10) {
      char text_buffer[32];
      std::snprintf(text_buffer, sizeof text_buffer, "%s %02d:%02d:%02d", day, minute / 60,
                    minute % 60, minute % 7);
      const std::string text = text_buffer;
      const std::optional<std::int64_t> seconds = runtime::UnixSecondsOf(text);
      ASSERT_TRUE(seconds.has_value()) << text;
      if (runtime::LocalTextOf(*seconds) == text) {
        ++checked;
        continue;
      }
      std::tm fields{};
      ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields), nullptr);
      fields.tm_isdst = -1;
      EXPECT_EQ(*seconds, static_cast<std::int64_t>(std::mktime(&fields))) << text;
    }
  }
  EXPECT_EQ(checked, 2 * 30 - 6);  // all but the six of the hour that does not exist
  {
    ZoneScope other("<+0545>-5:45");
    EXPECT_EQ(runtime::UnixSecondsOf("2026-03-29 01:00:00"), 1774725300);
  }
  EXPECT_EQ(runtime::UnixSecondsOf("2026-03-29 01:00:00"), 1774742400);
}

// ---------------------------------------------------------------------------
// Glossary

TEST(AlarmGlossary, EveryAlarmThatTheUnitsAndTheRuntimeRaiseHasAGloss) {
  std::set<std::pair<std::string, std::string>> raised;
  for (const ac_alarm::Row& row : ac_alarm::ChannelRows()) raised.insert({row.id, row.code});
  for (const ac_alarm::Row& row : ac_alarm::UnitRows()) raised.insert({row.id, row.code});
  for (const DcAlarmRow& row : DcVoltageAlarmRows<tele_c_korvan_dc>())
    raised.insert({row.id, row.code});
  for (const DcAlarmRow& row : DcBatteryFuseAlarmRows<tele_c_korvan_dc>())
    raised.insert({row.id, row.code});
  for (const RcModuleAlarmRow& row : RcModuleAlarmRows<tele_c_korvan_rc_channel>())
    raised.insert({row.id, row.code});
  for (const runtime::HostAlarm& alarm :
       {runtime::host_alarms::kRestartFailed, runtime::host_alarms::kCommunicationLost,
        runtime::host_alarms::kConfigMismatch}) {
    raised.insert({alarm.id, alarm.code});
  }
  // The product rows of the DC unit and the bus device's model check are not
  // reachable as tables; as the devices pass them.
  for (const auto& [id, code] : std::vector<std::pair<std::string, std::string>>{
           {"KORVAN_DC_0", "06079"},
           {"KORVAN_DC_1", "06080"},
           {"KORVAN_DC_2", "06007"},
           {"KORVAN_DC_3", "06029"},
           {"KORVAN_DC_4", "06003"},
           {"KORVAN_DC_5", "06007"},
           {"KORVAN_DC_6", "06001"},
           {"KORVAN_DC_7", "06003"},
           {"KORVAN_DC_8", "06007"},
           {"KORVAN_DC_9", "06001"},
           {"KORVAN_DC_10", "06003"},
           {"device_model", "70319"},
       }) {
    raised.insert({id, code});
  }
  EXPECT_EQ(raised.size(), 20u + 3u + 1u + 3u + 12u);
  for (const auto& [id, code] : raised) {
    EXPECT_FALSE(runtime::AlarmGloss(id, code, "").empty()) << id << " " << code;
    EXPECT_EQ(runtime::AlarmGloss(id, code, "").find('{'), std::string::npos) << id << " " << code;
  }
  // Nothing in the glossary that nobody raises.
  EXPECT_EQ(runtime::AlarmGlossary().size(), raised.size());
  // A known id with another code is another alarm.
  EXPECT_EQ(runtime::AlarmGloss("RC_0", "06025", "模块2整流模块故障告警"), "");
}

// The number in a gloss is the one the unit writes into the alarm's text, as
// the units build their texts; a text without one keeps the plain gloss.
TEST(AlarmGlossary, TheGlossCarriesTheNumberOfTheDevicesText) {
  ac_alarm::ChannelTexts channels;
  channels.Fit(12);
  const auto& fuses = DcBatteryFuseAlarmRows<tele_c_korvan_dc>();
  const RcModuleAlarmRow& module = RcModuleAlarmRows<tele_c_korvan_rc_channel>()[0];
  struct Row {
    std::string id, code, text, gloss;
  };
  const std::vector<Row> rows = {
      {"AC_0", "06015", channels.Of(0)[0],
       "AC channel 1 input voltage low, line/phase voltage AB/A"},
      {"AC_3", "06019", channels.Of(11)[3], "AC channel 12 input frequency low"},
      {"AC_10", "06017", channels.Of(1)[10],
       "AC channel 2 input phase missing, line/phase voltage CA/C"},
      {"DC_3", "06001", fuses[4].text, "battery fuse 5 fault"},
      {"DC_3", "06001", fuses[19].text, "battery fuse 20 fault"},
      {"RC_0", "06024", module.text_prefix + "2" + module.text_suffix, "rectifier module 2 fault"},
      {"RC_0", "06024", module.text_prefix + "130" + module.text_suffix,
       "rectifier module 130 fault"},
      // Numbered by their id already: the text is not read.
      {"KORVAN_DC_5", "06007", "负载熔丝2故障告警", "load fuse 2 fault"},
      // No number where the text does not give one the usual way.
      {"RC_0", "06024", "整流模块故障告警", "rectifier module fault"},
      {"RC_0", "06024", module.text_prefix + "02" + module.text_suffix, "rectifier module fault"},
      {"RC_0", "06024", module.text_prefix + "1234" + module.text_suffix, "rectifier module fault"},
      {"DC_3", "06001", "直流电池熔丝故障告警", "battery fuse fault"},
      {"AC_7", "06018", "频率", "AC channel input frequency high"},
      {"AC_7", "06018", "交流屏", "AC channel input frequency high"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(runtime::AlarmGloss(row.id, row.code, row.text), row.gloss) << row.text;
  }
}

// ---------------------------------------------------------------------------
// Trace lines on standard output

class LogLines : public runtime::EventSubscriber {
 public:
  void OnEvent(const runtime::RuntimeEvent& event) override {
    if (event.kind != runtime::RuntimeEvent::Kind::kLog) return;
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(event.system + ": " + event.text);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

// What file descriptor 1 refers to.
std::pair<dev_t, ino_t> StandardOutputFile() {
  struct stat status {};
  fstat(STDOUT_FILENO, &status);
  return {status.st_dev, status.st_ino};
}

TEST(StdoutTrace, PublishesEveryLineInOrderAndRestoresStandardOutput) {
  const auto before = StandardOutputFile();
  runtime::EventStream events;
  auto log = std::make_shared<LogLines>();
  events.Subscribe("log", log);
  {
    runtime::StdoutTrace trace(events, "stdout");
    ASSERT_TRUE(trace.Active());
    EXPECT_NE(StandardOutputFile(), before);
    // A second capture while one is active leaves standard output alone.
    EXPECT_FALSE(runtime::StdoutTrace(events, "again").Active());
    std::printf("parse 42 41: %x %x\n", 1, 2);  // stays in the C library's buffer
    std::cout << "rc data_len:101 vs 101" << std::endl;
    const std::string long_line(runtime::StdoutTrace::kMaxLine + 5, 'x');
    std::fputs((long_line + "\nunfinished").c_str(), stdout);
  }
  EXPECT_EQ(StandardOutputFile(), before);
  events.Flush();
  std::lock_guard<std::mutex> lock(log->mutex);
  ASSERT_EQ(log->lines.size(), 5u);
  EXPECT_EQ(log->lines[0], "stdout: parse 42 41: 1 2");
  EXPECT_EQ(log->lines[1], "stdout: rc data_len:101 vs 101");
  EXPECT_EQ(log->lines[2].size(), 8 + runtime::StdoutTrace::kMaxLine);
  EXPECT_EQ(log->lines[3], "stdout: xxxxx");
  EXPECT_EQ(log->lines[4], "stdout: unfinished");
}

TEST(StdoutTrace, MoreThanAPipeHoldsIsWrittenWithoutWaitingForTheOutputs) {
  runtime::EventStream events;
  auto log = std::make_shared<LogLines>();
  // A small queue: most lines are dropped for this output, none waits.
  events.Subscribe("log", log, 16);
  constexpr int kLines = 20000;  // about 2 MB, many times a pipe's 64 KiB
  {
    runtime::StdoutTrace trace(events, "stdout");
    ASSERT_TRUE(trace.Active());
    const std::string line(99, 'y');
    for (int i = 0; i < kLines; ++i) {
      const std::string text = line + "\n";
      ASSERT_EQ(write(STDOUT_FILENO, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
  }
  events.Flush();
  std::uint64_t seen = 0;
  for (const auto& counts : events.Statistics()) seen += counts.handled + counts.dropped;
  EXPECT_EQ(seen, static_cast<std::uint64_t>(kLines));
}

}  // namespace
