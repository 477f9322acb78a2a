// A one-line progress bar on standard error, drawn only when standard error is a terminal.
#pragma once

#include <cstddef>

namespace zemhost {

class ProgressBar {
public:
    explicit ProgressBar(std::size_t total);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::size_t done);

private:
    std::size_t m_total;
    bool m_enabled;
    int m_drawnPercent = -1;
};

}  // namespace zemhost
