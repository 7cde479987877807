// UpdaterDisplayInterface: the tool's user channel.
//
// One-line messages at two levels, a progress bar for firmware transfers and a spinner for waits of
// unknown length. Implementations live on main's stack and are used from the main thread only; they
// are never deleted through this interface, which therefore has no virtual destructor.
#pragma once

class UpdaterDisplayInterface {
  public:
    enum Level { INFO = 0, ERROR = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into a 2048-byte buffer (longer text is cut to 2047 characters) and hands the line to
    // error_message for ERROR, to info_message otherwise. Nothing happens while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Mutes or unmutes messages; the progress bar and the spinner are not affected.
    void mute_messages(bool mute) { muted = mute; }

  protected:
    UpdaterDisplayInterface() = default;
    UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
    UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;
    // Not virtual on purpose: displays are never destroyed through the interface.
    ~UpdaterDisplayInterface() = default;

    bool muted = false;
};
