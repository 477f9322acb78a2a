// Buffers that a pooled SOAP call keeps from one exchange to the next.
#pragma once

#include <cstddef>

namespace orbsec_axiscpp {

// Frees the buffer's storage when it holds more than `kept` bytes, so that one large exchange does not pin
// its memory for as long as the call stays in the pool.
template <typename Buffer>
void releaseIfLarge(Buffer& buffer, std::size_t kept) {
    if (buffer.capacity() * sizeof(typename Buffer::value_type) > kept) Buffer().swap(buffer);
}

}  // namespace orbsec_axiscpp
