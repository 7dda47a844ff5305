// What a call into Voluna did: success, or why not, in a sentence for a person.
#pragma once

#include <string>

namespace voluna::api {

struct Status {
  enum class Code {
    Ok,
    InvalidArgument,     // sizes, buffers or settings that cannot be run; nothing was done
    BackendUnavailable,  // the backend asked for cannot run here (CUDA without a usable GPU)
    BackendFailed,       // the GPU run failed and the CPU was not allowed to take over
    Cancelled,           // the progress callback asked to stop
    ReadFailed,          // the file could not be read as a volume
    WriteFailed,         // the result could not be written; an existing file is left as it was
    OutOfMemory,
  };
  Code code = Code::Ok;
  // On failure what went wrong, naming the file where there is one. On
  // success empty, or a notice worth passing on (a failed GPU run redone on
  // the CPU, a value range that was mapped).
  std::string message;

  bool ok() const noexcept { return code == Code::Ok; }
};

}  // namespace voluna::api
