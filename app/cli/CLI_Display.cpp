#include "cli/CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char kBar[] = "=====================================================================";
static_assert(sizeof kBar - 1 == 69, "the bar text is 69 characters");
constexpr int kBarWidth = 69;
constexpr int kMaxLabel = 64;
constexpr int kWipeWidth = 88;

const char* const kFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool sToTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void sWipe() {
    fprintf(stdout, "\r%*s\r", kWipeWidth, " ");
}

}  // namespace

uint8_t CLI_Display::s_spinnerFrame = 0;

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!sToTerminal()) return;
    if (!show) sWipe();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!sToTerminal()) return;
    // Out-of-range or NaN fractions would give a bar wider than its frame (or an undefined
    // conversion); they are clamped so the line keeps its shape.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int labelLength = 0;
    if (label) {
        size_t length = strlen(label);
        labelLength =
            length > static_cast<size_t>(kMaxLabel) ? kMaxLabel : static_cast<int>(length);
    }
    int width = label ? kBarWidth - labelLength - 4 : kBarWidth;
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(100 * fraction);
    if (label)
        fprintf(stdout, "\r (%.*s) [%.*s>%*s] (%3d%% ) ", labelLength, label, filled, kBar,
                width - filled - 1, "", percent);
    else
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!sToTerminal()) return;
    if (!active) {
        sWipe();
        return;
    }
    const char* frame = kFrames[s_spinnerFrame & 7];
    if (label)
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        fprintf(stdout, "\r %s      \r", frame);
    s_spinnerFrame = static_cast<uint8_t>((s_spinnerFrame + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
    fprintf(stdout, "%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text ? text : "");
}
