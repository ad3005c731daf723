#pragma once

namespace zenqa {

// Called every so often during a long computation; throws to abandon it.
using InterruptCheck = void (*)();

}  // namespace zenqa
