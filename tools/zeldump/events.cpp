// zeldump --events FILE: one line per event worth finding.
#include "zeldump.h"

namespace zeldump {

int list_events(const Options& o)
{
    return list_records(o);
}

} // namespace zeldump
