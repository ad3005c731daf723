#pragma once

namespace zenqa {

// Registers zenqa's threads with threadpoolctl, now or when it is first
// imported, so that threadpool_info() lists them and threadpool_limits()
// caps them; threadpoolctl itself is never imported here.
void install_threadpool_controller();

}  // namespace zenqa
