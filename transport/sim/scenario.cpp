// Scenario loader: JSON text -> Scenario, with every key checked for name, type
// and range so that a typo is reported instead of silently ignored.
#include "transport/sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>
#include <vector>

#include "text/text.h"

namespace qx::sim {
namespace {

using nlohmann::json;

struct ScenarioError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw ScenarioError{(path.empty() ? std::string("scenario") : path) + ": " + what};
}

// At most this many characters of the scenario's own text are quoted in a
// message, so that a huge value does not come back whole.
constexpr size_t kMaxQuoted = 80;

std::string Clip(std::string_view text) {
  return Excerpt(text, kMaxQuoted);
}

std::string Quoted(std::string_view text) {
  return "'" + Clip(text) + "'";
}

std::string Key(const std::string& path, std::string_view key) {
  return path.empty() ? Clip(key) : path + "." + Clip(key);
}

std::string Index(const std::string& path, size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

void CheckObject(const json& v, const std::string& path, std::initializer_list<const char*> keys) {
  if (!v.is_object()) Fail(path, "expected an object");
  for (const auto& item : v.items()) {
    const std::string& name = item.key();
    bool known = std::any_of(keys.begin(), keys.end(), [&](const char* k) { return name == k; });
    if (!known) Fail(path, "unknown key " + Quoted(name));
  }
}

const json* Find(const json& obj, const char* key) {
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

// A number given as a JSON integer or as a string holding a decimal or 0x-prefixed
// hexadecimal integer and nothing else (" 2" is not a number).
uint64_t Number(const json& v, const std::string& path, uint64_t min, uint64_t max) {
  uint64_t value = 0;
  if (v.is_number_unsigned()) {
    value = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    Fail(path, "value " + std::to_string(v.get<int64_t>()) + " out of range " +
                   std::to_string(min) + ".." + std::to_string(max));
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    int base = 10;
    std::string digits = s;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
      base = 16;
      digits = s.substr(2);
    }
    if (digits.empty()) Fail(path, Quoted(v.get<std::string>()) + " is not a number");
    for (char c : digits) {
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
        d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
      } else {
        Fail(path, Quoted(v.get<std::string>()) + " is not a number (decimal or 0x hexadecimal)");
      }
      if (value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) /
                      static_cast<uint64_t>(base)) {
        Fail(path, Quoted(v.get<std::string>()) + " out of range " + std::to_string(min) + ".." +
                       std::to_string(max));
      }
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
  } else {
    Fail(path, "expected an integer (decimal, or a \"0x..\" string)");
  }
  if (value < min || value > max) {
    Fail(path, "value " + std::to_string(value) + " out of range " + std::to_string(min) + ".." +
                   std::to_string(max));
  }
  return value;
}

template <typename T>
T Num(const json& obj, const std::string& path, const char* key, uint64_t min, uint64_t max,
      T fallback) {
  const json* v = Find(obj, key);
  return v ? static_cast<T>(Number(*v, Key(path, key), min, max)) : fallback;
}

bool Bool(const json& obj, const std::string& path, const char* key, bool fallback) {
  const json* v = Find(obj, key);
  if (!v) return fallback;
  if (!v->is_boolean()) Fail(Key(path, key), "expected true or false");
  return v->get<bool>();
}

std::string Text(const json& obj, const std::string& path, const char* key,
                 const std::string& fallback) {
  const json* v = Find(obj, key);
  if (!v) return fallback;
  if (!v->is_string()) Fail(Key(path, key), "expected a string");
  return v->get<std::string>();
}

// An array of strings, each one non-empty.
std::vector<std::string> Strings(const json& v, const std::string& path) {
  if (!v.is_array()) Fail(path, "expected an array of strings");
  std::vector<std::string> texts;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!v[i].is_string() || v[i].get<std::string>().empty()) {
      Fail(Index(path, i), "expected a non-empty string");
    }
    texts.push_back(v[i].get<std::string>());
  }
  return texts;
}

// Hexadecimal bytes such as "CC DD" or "ccdd"; blanks between digits are ignored.
std::vector<uint8_t> HexBytes(const json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "expected a string of hexadecimal bytes");
  std::string digits;
  for (char c : v.get<std::string>()) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      Fail(path, std::string("'") + c + "' is not a hexadecimal digit");
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) Fail(path, "odd number of hexadecimal digits");
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void PutField(std::vector<uint8_t>& data, size_t offset, size_t width, const std::string& text,
              const std::string& path) {
  if (text.size() > width) {
    Fail(path, Quoted(text) + " is longer than " + std::to_string(width) + " characters");
  }
  for (size_t i = 0; i < width; ++i) {
    data[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  }
}

std::vector<uint8_t> ParseInquiry(const json* v, const std::string& path) {
  json empty = json::object();
  const json& obj = v ? *v : empty;
  CheckObject(obj, path,
              {"raw", "type", "removable", "vendor", "product", "revision", "vendor_specific"});
  if (const json* raw = Find(obj, "raw")) {
    if (obj.size() != 1) Fail(path, "\"raw\" cannot be combined with other inquiry keys");
    auto bytes = HexBytes(*raw, Key(path, "raw"));
    if (bytes.empty() || bytes.size() > kMaxInquiryBytes) {
      Fail(Key(path, "raw"), "needs 1.." + std::to_string(kMaxInquiryBytes) + " bytes");
    }
    return bytes;
  }
  // Standard data: 5 header bytes + 91 additional bytes.
  std::vector<uint8_t> data(96, 0);
  data[0] = Num<uint8_t>(obj, path, "type", 0, 0x1F, 5);
  data[1] = Bool(obj, path, "removable", true) ? 0x80 : 0x00;
  data[2] = 0x02;  // SCSI-2
  data[3] = 0x02;  // response data format 2
  data[4] = 91;    // additional length
  PutField(data, 8, 8, Text(obj, path, "vendor", "AMBERVLT"), Key(path, "vendor"));
  PutField(data, 16, 16, Text(obj, path, "product", "QX-R4410"), Key(path, "product"));
  PutField(data, 32, 4, Text(obj, path, "revision", "1.00"), Key(path, "revision"));
  PutField(data, 36, 20, Text(obj, path, "vendor_specific", ""), Key(path, "vendor_specific"));
  return data;
}

std::map<uint32_t, uint8_t> ParseMemory(const json& v, const std::string& path) {
  if (!v.is_object()) Fail(path, "expected an object of \"address\": \"hex bytes\"");
  std::map<uint32_t, uint8_t> memory;
  for (const auto& [addr_text, bytes_json] : v.items()) {
    std::string at = Key(path, addr_text);
    auto addr = static_cast<uint32_t>(Number(json(addr_text), at, 0, kMaxMemoryAddress));
    auto bytes = HexBytes(bytes_json, at);
    if (bytes.size() > kMaxMemoryAddress + 1 - addr) Fail(at, "bytes run past address 0xFFFFFF");
    for (size_t i = 0; i < bytes.size(); ++i) memory[addr + static_cast<uint32_t>(i)] = bytes[i];
  }
  return memory;
}

TargetConfig ParseTarget(const json& v, const std::string& path, uint8_t adapter_id) {
  CheckObject(v, path,
              {"id", "lun", "kind", "inquiry", "memory", "unit_attention", "not_ready",
               "refuse_download", "power_cycle_after_save", "reprogram_commands", "read_buffer",
               "delay_ms", "inquiry_length", "mounted", "in_use"});
  TargetConfig t;
  if (!Find(v, "id")) Fail(path, "missing key 'id'");
  t.id = Num<uint8_t>(v, path, "id", 0, 15, 0);
  if (t.id == adapter_id) {
    Fail(Key(path, "id"), "target " + std::to_string(t.id) + " is the adapter's own SCSI ID");
  }
  t.lun = Num<uint8_t>(v, path, "lun", 0, 7, 0);
  std::string kind = Text(v, path, "kind", "drive");
  if (kind == "drive") {
    t.kind = DeviceKind::kDrive;
  } else if (kind == "generic") {
    t.kind = DeviceKind::kGeneric;
  } else {
    Fail(Key(path, "kind"), "expected \"drive\" or \"generic\", got \"" + Clip(kind) + "\"");
  }
  t.inquiry = ParseInquiry(Find(v, "inquiry"), Key(path, "inquiry"));
  t.memory = {{0x7FE0, 0x12}, {0x7FE1, 0x34}};
  if (const json* m = Find(v, "memory")) {
    for (auto [addr, byte] : ParseMemory(*m, Key(path, "memory"))) t.memory[addr] = byte;
  }
  t.unit_attention = Bool(v, path, "unit_attention", false);
  t.not_ready = Bool(v, path, "not_ready", false);
  if (const json* r = Find(v, "refuse_download"); r && !r->is_null()) {
    std::string what = r->is_string() ? r->get<std::string>() : std::string();
    if (what == "customizing") {
      t.refuse_download = DownloadRefusal::kCustomizing;
    } else if (what == "rpc") {
      t.refuse_download = DownloadRefusal::kRpc;
    } else {
      Fail(Key(path, "refuse_download"), "expected \"customizing\", \"rpc\" or null");
    }
  }
  t.power_cycle_after_save = Bool(v, path, "power_cycle_after_save", true);
  t.reprogram_commands = Num<uint32_t>(v, path, "reprogram_commands", 0, kMaxReprogramCommands, 3);
  if (const json* rb = Find(v, "read_buffer")) {
    t.read_buffer = HexBytes(*rb, Key(path, "read_buffer"));
    if (t.read_buffer.size() > kReadBufferBytes) {
      Fail(Key(path, "read_buffer"),
           "holds more than the drive's " + std::to_string(kReadBufferBytes) + " bytes");
    }
  } else {
    t.read_buffer = DefaultReadBuffer();
  }
  if (Find(v, "inquiry_length")) {
    t.inquiry_length = Num<size_t>(v, path, "inquiry_length", 0, kMaxInquiryBytes, 0);
  }
  if (Find(v, "delay_ms")) t.delay_ms = Num<uint32_t>(v, path, "delay_ms", 0, kMaxDelayMs, 0);
  if (const json* m = Find(v, "mounted")) t.mounted = Strings(*m, Key(path, "mounted"));
  t.in_use = Bool(v, path, "in_use", false);
  return t;
}

AdapterConfig ParseAdapter(const json& v, const std::string& path) {
  CheckObject(v, path, {"ha", "scsi_id", "manager_id", "identifier", "unique", "targets"});
  AdapterConfig a;
  if (!Find(v, "ha")) Fail(path, "missing key 'ha'");
  a.ha = Num<uint8_t>(v, path, "ha", 0, 7, 0);
  a.scsi_id = Num<uint8_t>(v, path, "scsi_id", 0, 15, 7);
  a.manager_id = Text(v, path, "manager_id", "ASPI for SIM");
  a.identifier = Text(v, path, "identifier", "SIM-HA" + std::to_string(a.ha));
  a.unique = Text(v, path, "unique", "");
  if (const json* ts = Find(v, "targets")) {
    std::string tp = Key(path, "targets");
    if (!ts->is_array()) Fail(tp, "expected an array");
    std::set<std::pair<uint8_t, uint8_t>> seen;
    for (size_t i = 0; i < ts->size(); ++i) {
      TargetConfig t = ParseTarget((*ts)[i], Index(tp, i), a.scsi_id);
      if (!seen.insert({t.id, t.lun}).second) {
        Fail(Index(tp, i), "target " + std::to_string(t.id) + " LUN " + std::to_string(t.lun) +
                               " is listed twice");
      }
      a.targets.push_back(std::move(t));
    }
  }
  return a;
}

FaultRule ParseFault(const json& v, const std::string& path) {
  CheckObject(v, path,
              {"ha", "id", "opcode", "nth", "times", "srb_status", "ha_status", "target_status",
               "submit_result", "never_complete", "sense"});
  FaultRule f;
  if (Find(v, "ha")) f.ha = Num<uint8_t>(v, path, "ha", 0, 7, 0);
  if (Find(v, "id")) f.id = Num<uint8_t>(v, path, "id", 0, 15, 0);
  if (Find(v, "opcode")) f.opcode = Num<uint8_t>(v, path, "opcode", 0, 255, 0);
  f.nth = Num<uint32_t>(v, path, "nth", 1, std::numeric_limits<uint32_t>::max(), 1);
  f.times = Num<uint32_t>(v, path, "times", 0, std::numeric_limits<uint32_t>::max(), 1);
  f.never_complete = Bool(v, path, "never_complete", false);
  f.srb_status = Num<uint8_t>(v, path, "srb_status", 0, 255, 4);
  if (f.srb_status == 0 && !f.never_complete) {
    Fail(Key(path, "srb_status"),
         "0 would leave the request pending for ever; use \"never_complete\": true");
  }
  f.ha_status = Num<uint8_t>(v, path, "ha_status", 0, 255, 0);
  if (const json* s = Find(v, "sense")) {
    std::string sp = Key(path, "sense");
    CheckObject(*s, sp, {"key", "asc", "ascq", "byte19", "valid", "info"});
    SenseConfig sense;
    sense.key = Num<uint8_t>(*s, sp, "key", 0, 15, 0);
    sense.asc = Num<uint8_t>(*s, sp, "asc", 0, 255, 0);
    sense.ascq = Num<uint8_t>(*s, sp, "ascq", 0, 255, 0);
    sense.byte19 = Num<uint8_t>(*s, sp, "byte19", 0, 255, 0);
    sense.valid = Bool(*s, sp, "valid", false);
    sense.info = Num<uint32_t>(*s, sp, "info", 0, 0xFFFFFFFFu, 0);
    f.sense = sense;
  }
  f.target_status = Num<uint8_t>(v, path, "target_status", 0, 255, f.sense ? 2 : 0);
  if (Find(v, "submit_result")) {
    f.submit_result = Num<int32_t>(v, path, "submit_result", 0, 255, 0);
  }
  return f;
}

Scenario ParseRoot(const json& root) {
  CheckObject(root, "", {"recording", "manager_status", "adapters", "faults", "completion"});
  Scenario s;
  if (const json* r = Find(root, "recording")) {
    CheckObject(*r, "recording", {"device", "transport", "time", "program"});
    s.recording = RecordingInfo{.device = Text(*r, "recording", "device", "a drive"),
                                .transport = Text(*r, "recording", "transport", ""),
                                .time = Text(*r, "recording", "time", ""),
                                .program = Text(*r, "recording", "program", "")};
  }
  s.manager_status = Num<uint8_t>(root, "", "manager_status", 0, 255, 1);
  if (const json* as = Find(root, "adapters")) {
    if (!as->is_array()) Fail("adapters", "expected an array");
    std::set<uint8_t> seen;
    for (size_t i = 0; i < as->size(); ++i) {
      AdapterConfig a = ParseAdapter((*as)[i], Index("adapters", i));
      if (!seen.insert(a.ha).second) {
        Fail(Index("adapters", i), "host adapter " + std::to_string(a.ha) + " is listed twice");
      }
      s.adapters.push_back(std::move(a));
    }
  }
  if (const json* fs = Find(root, "faults")) {
    if (!fs->is_array()) Fail("faults", "expected an array");
    for (size_t i = 0; i < fs->size(); ++i) {
      s.faults.push_back(ParseFault((*fs)[i], Index("faults", i)));
    }
  }
  if (const json* c = Find(root, "completion")) {
    CheckObject(*c, "completion", {"async", "delay_ms"});
    s.async = Bool(*c, "completion", "async", false);
    s.delay_ms = Num<uint32_t>(*c, "completion", "delay_ms", 0, kMaxDelayMs, 0);
  }
  return s;
}

// Reads JSON text once without building anything, refusing an object that
// names one key twice (the plain parse would keep the last one without a
// word) and nesting deeper than a scenario ever needs. Linear in the text:
// each frame keeps its own path, and the depth bounds their length.
class ScenarioShape final : public json::json_sax_t {
 public:
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(json::number_integer_t) override { return Value(); }
  bool number_unsigned(json::number_unsigned_t) override { return Value(); }
  bool number_float(json::number_float_t, const json::string_t&) override { return Value(); }
  bool string(json::string_t&) override { return Value(); }
  bool binary(json::binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Start(false); }
  bool start_array(std::size_t) override { return Start(true); }
  bool end_object() override { return End(); }
  bool end_array() override { return End(); }
  bool key(json::string_t& k) override {
    Frame& top = stack_.back();
    top.last_key = k;
    if (!top.keys.insert(k).second) Fail(top.path, "duplicate key " + Quoted(k));
    return true;
  }
  // Syntax errors are left to the parse that follows, which words them.
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  struct Frame {
    bool array = false;
    std::string path;
    std::set<std::string> keys;
    std::string last_key;
    size_t count = 0;  // elements of an array seen so far
  };
  std::string ChildPath() const {
    if (stack_.empty()) return {};
    const Frame& top = stack_.back();
    return top.array ? Index(top.path, top.count) : Key(top.path, top.last_key);
  }
  bool Value() {
    if (!stack_.empty() && stack_.back().array) ++stack_.back().count;
    return true;
  }
  bool Start(bool array) {
    if (stack_.size() >= kMaxScenarioDepth) {
      Fail(ChildPath(), "nested deeper than " + std::to_string(kMaxScenarioDepth) + " levels");
    }
    Frame f;
    f.array = array;
    f.path = ChildPath();
    stack_.push_back(std::move(f));
    return true;
  }
  bool End() {
    stack_.pop_back();
    return Value();
  }
  std::vector<Frame> stack_;
};

json ParseUnique(std::string_view text) {
  ScenarioShape shape;
  json::sax_parse(text.begin(), text.end(), &shape);
  return json::parse(text.begin(), text.end());
}

}  // namespace

std::optional<Scenario> ParseScenario(std::string_view text, std::string* error) {
  std::string message;
  try {
    json root = ParseUnique(text);
    return ParseRoot(root);
  } catch (const ScenarioError& e) {
    message = e.message;
  } catch (const json::parse_error& e) {
    // e.what() reads "[json.exception.parse_error.101] parse error at ...": keep the tail.
    std::string what = e.what();
    size_t close = what.find("] ");
    std::string tail = close == std::string::npos ? what : what.substr(close + 2);
    // The parser quotes what it last read, which may be a whole huge token.
    const std::string kLastRead = "last read: '";
    if (size_t at = tail.find(kLastRead); at != std::string::npos) {
      const size_t from = at + kLastRead.size();
      if (tail.size() - from > kMaxQuoted + 1) tail = tail.substr(0, from + kMaxQuoted) + "...'";
    }
    message = "scenario is not valid JSON: " + tail;
  } catch (const std::exception& e) {
    message = std::string("scenario could not be read: ") + e.what();
  }
  if (error) *error = message;
  return std::nullopt;
}

std::vector<uint8_t> DefaultReadBuffer() {
  std::vector<uint8_t> data(kReadBufferBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i & 0xFF) ^ (i >> 8));
  return data;
}

std::string_view BuiltInScenarioText() {
  // Kept identical to examples/scenarios/default.json (a test compares them).
  static constexpr std::string_view kText = R"json({
  "manager_status": 1,
  "adapters": [
    {
      "ha": 0,
      "scsi_id": 7,
      "manager_id": "ASPI for SIM",
      "identifier": "SIM-HA0",
      "unique": "sim bus 0",
      "targets": [
        {
          "id": 2,
          "inquiry": {"type": 5, "vendor": "AMBERVLT", "product": "QX-R4410",
                      "revision": "1.10", "vendor_specific": " (2003/05/12)"}
        },
        {
          "id": 5,
          "kind": "generic",
          "inquiry": {"type": 0, "removable": false, "vendor": "GENERIC",
                      "product": "SIMDISK", "revision": "0001"}
        }
      ]
    },
    {
      "ha": 2,
      "scsi_id": 7,
      "manager_id": "ASPI for SIM",
      "identifier": "SIM-HA2",
      "unique": "sim bus 2",
      "targets": [
        {
          "id": 1,
          "inquiry": {"type": 5, "vendor": "AMBERVLT", "product": "QX-R4410",
                      "revision": "1.08", "vendor_specific": " (2002/11/27)"}
        },
        {
          "id": 4,
          "inquiry": {"type": 5, "vendor": "AMBERVLT", "product": "QX-R4410",
                      "revision": "1.10", "vendor_specific": " (2003/05/12)"},
          "memory": {"0x7FE0": "CC DD"}
        }
      ]
    }
  ],
  "faults": [],
  "completion": {"async": false, "delay_ms": 0}
}
)json";
  return kText;
}

}  // namespace qx::sim
