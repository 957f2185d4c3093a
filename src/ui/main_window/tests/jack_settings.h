// Settings under which the real program measures on the JACK test server:
// the server's own ports in and out, the generator's pink noise as the
// internal reference, a one-second average and the delay found at the start.
#pragma once

#include "engine/settings/settings.h"

namespace live_test {

inline engine::settings::Settings measuring_on_jack() {
    engine::settings::Settings s;
    s.host = "JACK";
    s.device = "jack:system";
    s.device_name = "system";
    s.out_device = "jack:system";
    s.ref_internal = true;
    s.signal = engine::settings::Signal::Pink;
    s.gen_db = -10.0f;
    s.average_secs = 1.0f;
    s.find_on_start = true;
    s.accumulate = false;
    return s;
}

}  // namespace live_test
