// A scripted session for looking at the running program without a person:
// when the environment variable KERFLINE_SCRIPT is set, its steps run at the
// given times after launch, through the same paths as keys and commands.
// Steps are separated by ";", each "seconds:command". Commands: any single
// key of the key table by name ("space", "s", "left", "right", "comma",
// "period", "escape", "delete", "f", "f2", "up", "down"), "fadein", "fadeout", "undo", "redo",
// "select:N", "seek:SECONDS", "quit", "quitwhenopen[:SECONDS]" (waits up
// to SECONDS, 30 by default, for a movie to be open and its decoder known,
// prints "opened PATH", "segments N", "status TEXT", "decoder TOOLTIP" and
// "icon SIZE" (the window icon's largest size up to 256) on standard output
// and quits), "menu:TITLE" (opens that menu of the bar, or that submenu of
// the open menu), "closemenus", "setting:GROUP=TAG" (GROUP output, mode or
// size: the export settings item), "exportto:PATH" (exports to PATH as the
// save dialog would). Unknown steps are ignored. Not a user
// feature; for tests and screenshots.
#pragma once

#include <string>

class MGAppDelegate;

void MGRunTestScript(MGAppDelegate& delegate, const std::string& script);
