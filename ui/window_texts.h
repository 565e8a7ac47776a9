// Texts and choices the desktop windows share, whatever draws them (Qt on
// Linux, Win32 on Windows): the title and banner that name the transport, and
// the transport as the window is told of it.
#pragma once

#include <optional>
#include <string>

namespace qx {

// The main window's title: its caption and the transport; a simulated bus is
// called out as such ("... — SIMULATED BUS (no real drive)"). UTF-8.
std::string WindowTitleText(const std::string& caption, const std::string& transport,
                            bool simulated);
// The banner above the lists: "SIMULATED BUS — no real drive is written", or
// "Transport: NAME" ("none" without one). UTF-8.
std::string BannerText(const std::string& transport, bool simulated);

// The transport's name for titles: `given` if not empty, else the installed
// ASPI manager's own name.
std::string TransportName(const std::string& given);
// Whether the transport is simulated: `given` if set, else the installed
// manager's Simulated() (no manager: false).
bool TransportSimulated(std::optional<bool> given);

// Non-negative whole milliseconds from an environment hook of the scripts
// (QXFLASH_GUI_QUIT_AFTER_MS), or -1 for anything else.
int ParseMilliseconds(const std::string& text);

}  // namespace qx
