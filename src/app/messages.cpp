#include "app/messages.h"

#include "extract/text.h"

namespace quarry {
namespace {

std::string couldNotBeLoaded(const DecoderBinding& binding, const std::string& reason) {
  return "Found " + binding.file + " but it could not be loaded: " + reason;
}

std::string wrongMachineLine(const DecoderBinding& binding) {
  if (binding.detail == "32-bit") {
    return binding.file + " is a 32-bit Windows library; Quarry needs the 64-bit one";
  }
  return binding.file + " is a Windows library for " + escapeForMessage(binding.detail) +
         "; Quarry needs the one for 64-bit x86";
}

}  // namespace

std::string decoderProblemLine(const DecoderBinding& binding) {
  const std::string detail = escapeForMessage(binding.detail);
  switch (binding.problem) {
    case DecoderProblem::none:
    case DecoderProblem::missing:
      return {};
    case DecoderProblem::notLoadable:
      return couldNotBeLoaded(binding, detail);
    case DecoderProblem::noEntryPoint:
      return "The library " + binding.file + " has no entry point " + DECODER_ENTRY_POINT;
    case DecoderProblem::notRunnableHere:
      return binding.file + " is a Windows library, and Quarry runs one only on 64-bit x86 " +
             "Linux, not on this machine";
    case DecoderProblem::wrongMachine:
      return wrongMachineLine(binding);
    case DecoderProblem::damagedImage:
      return couldNotBeLoaded(binding, "the Windows library is damaged (" + detail + ")");
    case DecoderProblem::unsupportedImage:
      return couldNotBeLoaded(binding, "it needs what Quarry's loader does not offer: " + detail);
    case DecoderProblem::missingImport:
      return binding.file + " imports " + detail + ", which Quarry does not provide";
    case DecoderProblem::initialisationFailed:
      return binding.file + " failed to initialise: its DllMain answered FALSE";
  }
  return couldNotBeLoaded(binding, detail);
}

}  // namespace quarry
