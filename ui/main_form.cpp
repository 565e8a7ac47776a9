#include "ui/main_form.h"

#include <filesystem>
#include <span>
#include <system_error>

#include "aspi/bus_scan.h"
#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "commands/hexdump.h"
#include "download/release.h"
#include "download/write_buffer.h"
#include "platform/window_system.h"

namespace qx {

namespace {

// The numeric value of an item's first character; anything but a digit is 0.
uint8_t LeadingDigit(const std::string& text) {
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') return static_cast<uint8_t>(text[0] - '0');
  return 0;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The pause after a block: a plain count that the optimiser must keep.
void CountPause(int last) {
  for (int i = 0; i <= last; ++i) asm volatile("" ::: "memory");
}

std::string CurrentDirectory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string(".") : cwd.string();
}

}  // namespace

MainForm::MainForm(SettingsStore& settings) : settings_(settings) {
  ComboHA.Click = [this] { ComboHA_Click(); };
  ComboID.Click = [this] { ComboID_Click(); };
  File1.Click = [this] { File1_Click(); };
  BlockPause = [] { CountPause(10000); };
}

void MainForm::SetText1(std::string text, bool repaintNow) {
  Text1.Text = std::move(text);
  Emit({MainEvent::kStatus, Text1.Text});
  if (repaintNow) Ui().Refresh("Text1");
}

void MainForm::SetMousePointer(int pointer) {
  MousePointer = pointer;
  Ui().SetMousePointer(pointer);
}

void MainForm::SetFirmwareCaption(std::string text) {
  FWVer.Caption = std::move(text);
  Emit({MainEvent::kFirmware, FWVer.Caption});
}

void MainForm::Form_Load() {
  OLD_HaINDX = SettingToInt(settings_.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"));
  OLD_IdINDX = SettingToInt(settings_.GetSetting(kSettingsApp, kSettingsSection, "ID", "0"));
  SelectedHaId = kNotChosen;
  SelectedTargetId = kNotChosen;
  SelectedLun = 0;
  FirmwareDir = JoinDir(CurrentDirectory());
  File1.SetPath(FirmwareDir);
  File1.SetPattern("*.OUB");
  AbortRequested = 0;
}

void MainForm::Form_Unload() {
  settings_.SaveSetting(kSettingsApp, kSettingsSection, "Ha", std::to_string(OLD_HaINDX));
  settings_.SaveSetting(kSettingsApp, kSettingsSection, "ID", std::to_string(OLD_IdINDX));
}

void MainForm::ComboHA_Click() {
  if (!ComboHA.Enabled) return;  // fixed while a download runs
  SelectedHaId = LeadingDigit(ComboHA.Text());
  OLD_HaINDX = static_cast<int16_t>(ComboHA.ListIndex());
  ComboID.Clear();
  // Items start with the adapter number; the table only has adapters 0-7.
  if (SelectedHaId <= 7) {
    for (const auto& name : DeviceNames[SelectedHaId]) {
      if (!name.empty()) ComboID.AddItem(name);
    }
  }
  SelectedHaId = LeadingDigit(ComboHA.Text());
  if (ComboID.ListCount() > 0) {
    ComboID.SetListIndex(OLD_IdINDX <= ComboID.ListCount() - 1 ? OLD_IdINDX : 0);
  }
}

void MainForm::ComboID_Click() {
  if (!ComboID.Enabled) return;  // fixed while a download runs
  SelectedTargetId = LeadingDigit(ComboID.Text());
  OLD_IdINDX = static_cast<int16_t>(ComboID.ListIndex());
  std::string caption = " ";
  FWVer.Caption = caption;
  if (Inquiry() == 1) {
    caption.append(reinterpret_cast<const char*>(&DataBuf[32]), 18);
  }
  SetFirmwareCaption(std::move(caption));
}

void MainForm::File1_Click() {
  Label4.Caption = File1.FileName();
}

void MainForm::Tyusi_Click() {
  AbortRequested = -1;
}

void MainForm::Err_disp() {
  Ui().MsgBox("SCSI Error\r" + ErrMsg, kStyleExclamation, kTitleErr);
  SetText1(ErrMsg);
  SetMousePointer(kPointerDefault);
}

void MainForm::Scsi_Scan_Click() {
  if (!Scsi_Scan.Enabled) return;  // reached through the events a download lets run
  if (ASPICheck() != 1) {
    Ui().MsgBox(kAspiNotFound, kStyleExclamation, kAspiErrorTitle);
    return;
  }
  SetMousePointer(kPointerHourglass);
  SetText1("SCSI Rescan Executing", true);
  ComboHA.Clear();
  ComboID.Clear();
  uint8_t adapterMark = SelectedHaId;
  uint8_t targetMark = SelectedTargetId;
  ClearTraceList();

  SRB_HAInquiry srb{};
  for (uint8_t i = 0; i <= 7; ++i) {
    if (HaInquiry(srb, i) != 1) continue;
    if (adapterMark > 7) adapterMark = i;
    const uint8_t status = srb.SRB_Status;
    const std::string identifier = SrbText(srb.HA_Identifier);
    if (TraceOn == 1) TraceHaInquiry(srb, i);
    std::string item = std::to_string(i) + ":";
    if (status == 1) item += identifier;
    ComboHA.AddItem(item);
    Emit({MainEvent::kAdapterItem, item, i});

    for (uint8_t j = 0; j <= 7; ++j) {
      SelectedHaId = i;
      SelectedTargetId = j;
      if (Inquiry() == 1) {
        for (size_t k = 16; k <= 31; ++k) {
          if (DataBuf[k] < 32 || DataBuf[k] > 127) DataBuf[k] = 32;
        }
        std::string name(reinterpret_cast<const char*>(&DataBuf[16]), 16);
        DeviceNames[i][j] = std::to_string(j) + ":" + name;
        ComboID.AddItem(DeviceNames[i][j]);
        Emit({MainEvent::kTargetItem, DeviceNames[i][j], i});
        if (targetMark > 7) targetMark = j;
      } else {
        DeviceNames[i][j].clear();
      }
    }
  }

  // Restores a list's previous position (the last item when the list got
  // shorter) when something was chosen before or found now; otherwise marks the
  // selection as "nothing found".
  auto restore = [](ComboBox& combo, int16_t& oldIndex, uint8_t mark, uint8_t& selected) {
    if (mark > 7) {
      selected = kNothingFound;
      return;
    }
    const int n = combo.ListCount();
    combo.SetListIndex(n - 1 >= oldIndex ? oldIndex : n - 1);
    oldIndex = static_cast<int16_t>(combo.ListIndex());
  };
  restore(ComboHA, OLD_HaINDX, adapterMark, SelectedHaId);
  restore(ComboID, OLD_IdINDX, targetMark, SelectedTargetId);
  SetText1("SCSI Rescan Complete ");
  SetMousePointer(kPointerDefault);
}

void MainForm::SetBusy(bool busy) {
  SetMousePointer(busy ? kPointerHourglass : kPointerDefault);
  ComboHA.Enabled = !busy;
  ComboID.Enabled = !busy;
  Command1.Enabled = !busy;
  File1.Enabled = !busy;
  // A rescan during a download would move the current target under it.
  Scsi_Scan.Enabled = !busy;
  Tyusi.Enabled = busy;
  Emit({MainEvent::kBusy, {}, 0, 0, 0, busy ? 1 : 0});
}

void MainForm::Command1_Click() {
  if (!Command1.Enabled) return;  // one download at a time
  if (Trim(Label4.Caption).empty()) {
    Ui().MsgBox("Set File Name", kStyleCritical, kTitleA);
    return;
  }
  if (Download()) SetBusy(false);  // Finish
}

bool MainForm::Download() {
  SetText1("Read Parameter File", true);

  ParameterFile file;
  if (auto message = HeaderCheck(FirmwareDir + Label4.Caption, ComboID.Text(), file)) {
    Ui().MsgBox(*message, kStyleCritical, kTitleA);
    return false;  // the checks end without Finish
  }
  if (Ui().MsgBox("Firmware Download Execute", kStyleQuestion, kTitleA) == kAnswerCancel) {
    file.Close();
    return true;
  }

  SetBusy(true);
  AbortRequested = 0;

  Release release;
  if (auto message = ReleaseLoad(file, FirmwareDir, Label4.Caption, release)) {
    Ui().MsgBox(*message, kStyleCritical, kTitleA);
    return true;
  }
  if (AbortRequested) {
    SetText1("Abort By User");
    return true;
  }
  SetText1("Download Start !!", true);

  // Prepare the drive. Only a host adapter error ends the attempt here; what the
  // drive itself reports is passed over.
  if (MemoryRead(0x7FE0, 0x7FE1, 0) != 1) {
    if (LastHaStat != 0) {
      Ui().MsgBox(ErrMsg, kStyleCritical, kTitleB);
      return true;
    }
  } else {
    const unsigned word = DataBuf[0] * 256u + DataBuf[1];
    if (word != 0xCCDD && DiOut(0xE3, 0x80) != 1 && LastHaStat != 0) {
      Ui().MsgBox(ErrMsg, kStyleCritical, kTitleB);
      return true;
    }
  }
  if (TestUnitReady() != 1 && LastHaStat != 0) {
    Ui().MsgBox(ErrMsg, kStyleCritical, kTitleB);
    return true;
  }

  const std::vector<size_t> blocks = BlocksToSend(release);
  int index = 0;
  for (size_t b : blocks) {
    std::copy_n(ImageBuf.begin() + b * kBlockSize, kBlockSize, DataBuf.begin());
    Ui().DoEvents();
    if (AbortRequested) {
      SetText1("Abort By User");
      return true;
    }
    const uint8_t mode = release.BlockMode[b];
    if (WriteBuffer(0, static_cast<int32_t>(kBlockSize), mode, static_cast<uint8_t>(b)) != 1) {
      SetText1(ErrMsg);
      const std::string text = LastHaStat != 0 ? "HostAdaptrError!  \r\n" + ErrMsg : ErrMsg;
      Ui().MsgBox(text, kStyleCritical, kTitleB);
      return true;
    }
    Emit({MainEvent::kBlockSent,
          {},
          0,
          static_cast<int>(b),
          mode,
          ++index,
          static_cast<int>(blocks.size())});
    if (b != 15 && BlockPause) BlockPause();
  }

  Ui().MsgBox(ComboID.Text() +
                  "\r\n\r\nWait until all LED off.\r\n"
                  "After all LED off ,turn Off drive & PC power.",
              kStyleExclamation, kTitleB);
  SetText1("");
  return true;
}

void MainForm::DumpDataBuffer() {
  ClearTraceList();
  RefreshTraceList();
  for (auto& line : DumpLines(std::span<const uint8_t>(DataBuf.data(), 16384))) {
    AddTraceLine(std::move(line));
  }
}

void MainForm::DumpImageBuffer() {
  ClearTraceList();
  RefreshTraceList();
  for (auto& line : DumpLines(ImageBuf)) AddTraceLine(std::move(line));
}

void ResetProcessState() {
  ResetTransportState();
  ResetDebugForm();
  ResetReleaseState();
  AspiStatus = 0;
}

}  // namespace qx
