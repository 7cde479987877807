// CLI_Display: the terminal implementation of the user channel.
//
// Info messages go to standard output, error messages to standard error, one line each. The
// progress bar and the spinner redraw one line on standard output and draw nothing at all when
// standard output is not a terminal. The spinner's frame counter is shared by all displays and kept
// across waits. Main thread only.
#pragma once

#include <cstdint>

#include "cli/UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
  public:
    // Switches standard output and standard error to unbuffered mode so that redraws appear at
    // once.
    CLI_Display();
    ~CLI_Display() = default;

    void display_progress(bool show) override;
    // fraction is clamped to [0, 1]; a label longer than 64 characters is cut to 64.
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    // The next spinner frame (0..7); exposed for tests.
    static uint8_t spinner_frame() { return s_spinnerFrame; }

  private:
    static uint8_t s_spinnerFrame;
};
