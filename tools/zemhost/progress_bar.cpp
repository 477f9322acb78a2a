#include "progress_bar.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace zemhost {

namespace {
constexpr int BAR_WIDTH = 40;
}

ProgressBar::ProgressBar(std::size_t total) : m_total(total), m_enabled(total > 0 && isatty(STDERR_FILENO)) {}

ProgressBar::~ProgressBar() {
    if (m_enabled && m_drawnPercent >= 0) fprintf(stderr, "\r%*s\r", BAR_WIDTH + 30, "");
}

void ProgressBar::update(std::size_t done) {
    if (!m_enabled) return;
    int percent = static_cast<int>(done * 100 / m_total);
    if (percent == m_drawnPercent) return;   // redraw only when the picture changes
    m_drawnPercent = percent;
    int filled = percent * BAR_WIDTH / 100;
    fprintf(stderr, "\r[%s%s] %3d%% %zu/%zu", std::string(static_cast<std::size_t>(filled), '#').c_str(),
            std::string(static_cast<std::size_t>(BAR_WIDTH - filled), ' ').c_str(), percent, done, m_total);
    fflush(stderr);
}

}  // namespace zemhost
