// The window's answer to an open request handed over by another `kerfline`
// process (see platform/desktop/OpenRequests.h): while no movie is open it
// takes the request, opens the address here and brings the window forward;
// while one is open it refuses, so that the edit stays untouched and the
// asking process opens the movie in a window of its own.
//
// Main thread.
#pragma once

#include <string>

class MGAppDelegate;

bool MGAcceptOpenRequest(MGAppDelegate& delegate, const std::string& address);
