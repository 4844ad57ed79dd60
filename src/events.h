// Everything the recorded server sends on the main connection.
#pragma once

#include <xcb/xcb.h>

#include "window-model.h"

// What a pass over the display's queued events did: none, some, some with
// more left queued (the pass stops after one frame period), or the
// connection broke.
enum class EventPass { NONE, SOME, MORE, BROKEN };
EventPass event_from_source(WindowModel& windows);
