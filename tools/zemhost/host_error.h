// A failure of the harness itself (not a decision): reported as one line, exit status 1.
#pragma once

#include <stdexcept>

namespace zemhost {

class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zemhost
