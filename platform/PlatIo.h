// Internal to the platform layer: whole writes to a file descriptor.
#pragma once
#include <cstddef>

namespace plat::detail {

// Writes every byte, retrying interrupted and partial writes; false on error.
bool WriteAll(int fd, const void* buffer, size_t count);

}  // namespace plat::detail
