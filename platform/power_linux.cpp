// The power seam on Linux: a logind "block" inhibitor and UPower's battery
// state, both over the system bus with sd-bus. Every exchange with the bus,
// from the connection's handshake to the last reply, is given up on after
// kBusTimeout: a stuck bus or service must not keep a download from starting.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/power.h"

namespace qx::os {

namespace {

constexpr uint64_t kBusTimeout = 2'000'000;  // microseconds
constexpr const char* kBusTimeoutText = "2 s";

// Everything a firmware download must not be interrupted by.
constexpr const char* kInhibitWhat =
    "shutdown:sleep:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key:"
    "handle-power-key";

uint64_t MonotonicNow() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

struct BusCloser {
  // Closed without a flush: a flush waits for a handshake that may never end.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// The system bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket); null
// when there is none. Connecting does not wait: the handshake runs inside Call.
Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  return Bus(bus);
}

// The outcome of one method call.
struct CallResult {
  Message reply;  // set on success
  bool timed_out = false;
  bool bus_answered = true;  // false: the bus itself never finished the handshake
  std::string error_name;    // set on failure, where the bus or the service named one
  std::string error_text;
  bool ok() const { return reply != nullptr; }
};

// Sends `call` and waits for its reply until `deadline` (MonotonicNow()
// microseconds) at most, the connection's handshake included.
CallResult Call(sd_bus* bus, sd_bus_message* call, uint64_t deadline) {
  struct Pending {
    bool done = false;
    Message reply;
  } pending;
  auto on_reply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) -> int {
    auto* p = static_cast<Pending*>(userdata);
    p->done = true;
    p->reply.reset(sd_bus_message_ref(reply));
    return 1;
  };
  CallResult result;
  auto fail = [&result, bus](int r) {
    result.timed_out = r == -ETIMEDOUT;
    result.bus_answered = sd_bus_is_ready(bus) > 0;
    result.error_text = std::strerror(-r);
    return std::move(result);
  };
  uint64_t now = MonotonicNow();
  if (now >= deadline) return fail(-ETIMEDOUT);
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_call_async(bus, &slot, call, on_reply, &pending, deadline - now);
  if (r < 0) return fail(r);
  struct SlotUnref {
    sd_bus_slot* slot;
    ~SlotUnref() { sd_bus_slot_unref(slot); }
  } slot_unref{slot};
  while (!pending.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return fail(r);
    if (r > 0) continue;
    now = MonotonicNow();
    if (now >= deadline) return fail(-ETIMEDOUT);
    r = sd_bus_wait(bus, deadline - now);
    if (r < 0 && r != -EINTR) return fail(r);
  }
  if (sd_bus_message_is_method_error(pending.reply.get(), nullptr)) {
    const sd_bus_error* e = sd_bus_message_get_error(pending.reply.get());
    result.error_name = e != nullptr && e->name != nullptr ? e->name : "";
    result.error_text = e != nullptr && e->message != nullptr ? e->message : result.error_name;
    // sd-bus answers a call it gave up on with an error of its own.
    result.timed_out = sd_bus_error_has_names(e, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_NO_REPLY);
    result.bus_answered = sd_bus_is_ready(bus) > 0;
    return result;
  }
  result.reply = std::move(pending.reply);
  return result;
}

// A new method call, or null when it cannot be built (out of memory).
Message NewCall(sd_bus* bus, const char* service, const char* path, const char* interface,
                const char* method) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, service, path, interface, method) < 0) return nullptr;
  return Message(m);
}

// ---------------------------------------------------------------------------
// logind.

// Holds the inhibitor's descriptor; closing it ends the inhibitor.
class LogindInhibitor final : public SleepInhibitor {
 public:
  explicit LogindInhibitor(int fd) : fd_(fd) {}
  ~LogindInhibitor() override { ::close(fd_); }

 private:
  int fd_;
};

// `text` with every byte that is not part of a well-formed UTF-8 character
// (and every NUL) replaced by U+FFFD: the bus takes nothing else, and a
// drive's name is the drive's own bytes.
std::string WellFormedUtf8(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c == 0                   ? 0
                          : c < 0x80               ? 1
                          : c >= 0xC2 && c <= 0xDF ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    bool ok = length > 0 && i + length <= text.size();
    for (size_t k = 1; ok && k < length; ++k)
      ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok && length > 2) {
      const auto second = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xE0 && second < 0xA0) &&  // overlong
           !(c == 0xED && second > 0x9F) &&  // a surrogate
           !(c == 0xF0 && second < 0x90) &&  // overlong
           !(c == 0xF4 && second > 0x8F);    // beyond U+10FFFF
    }
    if (ok) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string Unavailable(const std::string& reason) {
  return "the system's sleep and shutdown could not be held off (" + reason +
         "): keep the machine awake and on mains power yourself";
}

// Why logind gave no inhibitor, in a few words.
std::string InhibitFailure(const CallResult& r) {
  if (r.timed_out && !r.bus_answered)
    return std::string("the system bus did not answer within ") + kBusTimeoutText;
  if (r.timed_out) return std::string("logind did not answer within ") + kBusTimeoutText;
  if (r.error_name == SD_BUS_ERROR_SERVICE_UNKNOWN ||
      r.error_name == SD_BUS_ERROR_NAME_HAS_NO_OWNER)
    return "no logind on the system bus";
  if (r.error_name.empty()) return "the system bus failed: " + r.error_text;
  return "logind refused: " + r.error_text;
}

// ---------------------------------------------------------------------------
// UPower.

constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kUPowerDevice = "org.freedesktop.UPower.Device";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";

// The reply to a Get of one property of a UPower object, null when there is
// none; its variant is read with sd_bus_message_read(reply, "v", type, ...).
Message GetProperty(sd_bus* bus, const char* path, const char* interface, const char* name,
                    uint64_t deadline) {
  Message call = NewCall(bus, kUPower, path, "org.freedesktop.DBus.Properties", "Get");
  if (!call || sd_bus_message_append(call.get(), "ss", interface, name) < 0) return nullptr;
  return Call(bus, call.get(), deadline).reply;
}

bool GetBool(sd_bus* bus, const char* path, const char* interface, const char* name,
             uint64_t deadline, bool* value) {
  Message reply = GetProperty(bus, path, interface, name, deadline);
  int b = 0;
  if (!reply || sd_bus_message_read(reply.get(), "v", "b", &b) < 0) return false;
  *value = b != 0;
  return true;
}

// UPower's OnBattery: true or false, else why it is not known. The system
// bus exists (a missing bus is said by the sleep inhibitor already).
std::optional<bool> OnBattery(sd_bus* bus, uint64_t deadline, std::string* why) {
  Message call = NewCall(bus, kUPower, kUPowerPath, "org.freedesktop.DBus.Properties", "Get");
  if (!call || sd_bus_message_append(call.get(), "ss", kUPower, "OnBattery") < 0) {
    *why = "the request to UPower could not be built";
    return std::nullopt;
  }
  CallResult r = Call(bus, call.get(), deadline);
  if (!r.ok()) {
    if (r.timed_out && !r.bus_answered) {
      *why = std::string("the system bus did not answer within ") + kBusTimeoutText;
    } else if (r.timed_out) {
      *why = std::string("UPower did not answer within ") + kBusTimeoutText;
    } else if (r.error_name == SD_BUS_ERROR_SERVICE_UNKNOWN ||
               r.error_name == SD_BUS_ERROR_NAME_HAS_NO_OWNER) {
      *why = "no UPower on the system bus";
    } else {
      *why = "UPower did not say whether the machine runs on battery: " + r.error_text;
    }
    return std::nullopt;
  }
  const char* type = nullptr;
  if (sd_bus_message_peek_type(r.reply.get(), nullptr, &type) < 0 || type == nullptr ||
      std::string_view(type) != "b") {
    *why = "UPower answered OnBattery with " +
           (type == nullptr ? std::string("no value")
                            : "a value of type '" + std::string(type) + "'") +
           ", not true or false";
    return std::nullopt;
  }
  int b = 0;
  if (sd_bus_message_read(r.reply.get(), "v", "b", &b) < 0) {
    *why = "UPower's answer for OnBattery could not be read";
    return std::nullopt;
  }
  return b != 0;
}

bool GetDouble(sd_bus* bus, const char* path, const char* interface, const char* name,
               uint64_t deadline, double* value) {
  Message reply = GetProperty(bus, path, interface, name, deadline);
  return reply && sd_bus_message_read(reply.get(), "v", "d", value) >= 0;
}

}  // namespace

std::unique_ptr<SleepInhibitor> InhibitSleep(const std::string& who, const std::string& why,
                                             std::string* unavailable) {
  auto refuse = [unavailable](const std::string& reason) {
    if (unavailable != nullptr) *unavailable = Unavailable(reason);
    return nullptr;
  };
  const uint64_t deadline = MonotonicNow() + kBusTimeout;
  Bus bus = OpenSystemBus();
  if (!bus) return refuse("no system bus");
  Message call = NewCall(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "Inhibit");
  if (!call || sd_bus_message_append(call.get(), "ssss", kInhibitWhat, WellFormedUtf8(who).c_str(),
                                     WellFormedUtf8(why).c_str(), "block") < 0) {
    return refuse("the request to logind could not be built");
  }
  CallResult r = Call(bus.get(), call.get(), deadline);
  if (!r.ok()) return refuse(InhibitFailure(r));
  int fd = -1;
  if (sd_bus_message_read(r.reply.get(), "h", &fd) < 0 || fd < 0)
    return refuse("logind's answer held no inhibitor");
  // The reply owns its descriptor; ours must not reach a child process
  // either, or the inhibitor would outlive this program.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0)
    return refuse(std::string("the inhibitor could not be kept: ") + std::strerror(errno));
  if (unavailable != nullptr) unavailable->clear();
  return std::make_unique<LogindInhibitor>(own);
}

PowerState ReadPowerState() {
  PowerState state;
  const uint64_t deadline = MonotonicNow() + kBusTimeout;
  Bus bus = OpenSystemBus();
  if (!bus) return state;
  const std::optional<bool> on_battery = OnBattery(bus.get(), deadline, &state.unknown_why);
  if (!on_battery) return state;
  state.known = true;
  state.on_battery = *on_battery;
  // The display device sums up every battery; without one it is not present.
  bool present = false;
  double percent = 0;
  if (GetBool(bus.get(), kDisplayDevice, kUPowerDevice, "IsPresent", deadline, &present) &&
      present &&
      GetDouble(bus.get(), kDisplayDevice, kUPowerDevice, "Percentage", deadline, &percent) &&
      std::isfinite(percent)) {
    // Rounded down: 29.6 % is not yet the 30 % a download needs.
    state.percent = static_cast<int>(std::clamp(std::floor(percent), 0.0, 100.0));
  }
  return state;
}

}  // namespace qx::os
