#include "binding/detach.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace vornic {

void hang_forever() noexcept {
    for (;;) pause();
}

bool is_main_thread() noexcept {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

}  // namespace vornic
