// --record: a twin of the drives' answers, written once the job is done.
#pragma once

#include <memory>
#include <string>

#include "transport/sim/twin.h"

namespace qx::cli {

class Session;

// Records the drives' answers while it lives (when --record names a file).
class TwinRecording {
 public:
  explicit TwinRecording(Session& s);
  ~TwinRecording();
  TwinRecording(const TwinRecording&) = delete;
  TwinRecording& operator=(const TwinRecording&) = delete;

  // Writes the twin (whose answers: `device`); false with the reason printed.
  // True without a file to write.
  bool Write(const std::string& device);

 private:
  Session& s_;
  std::unique_ptr<sim::TwinRecorder> recorder_;
};

}  // namespace qx::cli
