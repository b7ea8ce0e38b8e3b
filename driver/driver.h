// tagmend's command line: prints the banner, checks the arguments, probes
// the input and runs the one repair its audio calls for.
#pragma once

// Exit codes.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitCannotOpen = 2,
  kExitCannotProbe = 3,
  kExitMp3RepairFailed = 4,
  kExitPcmFailed = 5,
  kExitNellymoserFailed = 6,
  kExitNoAudio = 7,
  kExitAacFailed = 8,
};

int runTagmend(int argc, char** argv);
