// The capture driver on the main thread: set-up and teardown, the frame
// loop, and the connection to the display made again when it is lost while
// the display lives.
#pragma once

void frontend_setup();
void frontend_run();
void frontend_teardown();
