#include "ui/window_texts.h"

#include "aspi/manager.h"

namespace qx {

std::string WindowTitleText(const std::string& caption, const std::string& transport,
                            bool simulated) {
  if (simulated) return caption + " \u2014 SIMULATED BUS (no real drive)";
  if (transport.empty()) return caption + " \u2014 no transport";
  return caption + " \u2014 " + transport;
}

std::string BannerText(const std::string& transport, bool simulated) {
  if (simulated) return "SIMULATED BUS \u2014 no real drive is written";
  return "Transport: " + (transport.empty() ? std::string("none") : transport);
}

std::string TransportName(const std::string& given) {
  if (!given.empty()) return given;
  const auto manager = InstalledAspiManager();
  return manager ? std::string(manager->Name()) : std::string();
}

bool TransportSimulated(std::optional<bool> given) {
  if (given) return *given;
  const auto manager = InstalledAspiManager();
  return manager && manager->Simulated();
}

int ParseMilliseconds(const std::string& text) {
  if (text.empty() || text.size() > 7 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  return std::stoi(text);
}

}  // namespace qx
