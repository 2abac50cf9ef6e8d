#include <windows.h>

#include "platform/threads.h"

namespace platform {

std::unique_ptr<std::thread> start_worker(std::function<void()> body) {
    return std::make_unique<std::thread>(std::move(body));
}

void at_fork(void (*)(), void (*)(), void (*)()) {}

bool keep_layer_loaded() {
    HMODULE self = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&keep_layer_loaded), &self) != 0;
}

}  // namespace platform
