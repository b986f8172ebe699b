#include "App/Startup/LibraryThreads.h"

#include <dlfcn.h>

namespace Parlindo {

void stopIdleLibraryThreads() {
    // Looked up rather than linked: the system's BLAS may be another implementation, without it. (The
    // thread count is read from the environment while the library loads, before main() could set it.)
    using Shutdown = int (*)();
    if (void* found = dlsym(RTLD_DEFAULT, "blas_thread_shutdown_")) {
        reinterpret_cast<Shutdown>(found)();
    }
}

} // namespace Parlindo
