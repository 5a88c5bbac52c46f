// The unattended update: one pass that reads the arguments, fills the connection settings,
// reads the DEBUG and BATCH settings, loads the firmware file, prints its information rows,
// opens the link and starts the upload. From then on the engine's and the uploader's events,
// delivered by the caller's event loop, carry the run to FirmwareUploaderUploadDone, which
// prints the result and sets CmdLineDone and the exit code. Every stop before the upload
// (usage, a missing or invalid argument, an unusable file) sets CmdLineDone with exit code 99.
#pragma once

#include <string>
#include <vector>

namespace vornik {

class TMainFormCore;

/// The first output of a command-line run: an empty line, then the caption.
void WriteCaption(TMainFormCore& Form);

/// The run itself (the one-shot timer's event). Params are the program's arguments.
void CmdLineTimerTimer(TMainFormCore& Form, const std::vector<std::string>& Params);

/// Prints the six usage lines and ends the run.
void WriteUsage(TMainFormCore& Form);

}  // namespace vornik
