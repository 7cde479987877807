// The console display: messages, progress bar and spinner drawn to a terminal (a pty here), and
// nothing drawn when standard output is not a terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CLI_Display.h"

namespace {

// Points standard output at a pty (raw mode, so bytes arrive unchanged) or at a file while alive.
class StdoutCapture {
  public:
    explicit StdoutCapture(bool terminal) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (terminal) {
            if (openpty(&reader_, &writer_, nullptr, nullptr, nullptr) != 0) return;
            struct termios raw;
            tcgetattr(writer_, &raw);
            cfmakeraw(&raw);
            tcsetattr(writer_, TCSANOW, &raw);
        } else {
            file_ = tmpfile();
            if (!file_) return;
            writer_ = dup(fileno(file_));
        }
        dup2(writer_, STDOUT_FILENO);
        ok_ = true;
    }
    ~StdoutCapture() {
        restore();
        if (reader_ >= 0) close(reader_);
        if (file_) fclose(file_);
    }
    bool ok() const { return ok_; }

    // Everything written so far; restores standard output.
    std::string take() {
        restore();
        std::string text;
        char buffer[4096];
        if (file_) {
            rewind(file_);
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
            return text;
        }
        // The writer side is closed, so the reader sees all data and then EOF or EIO.
        struct pollfd p = {reader_, POLLIN, 0};
        while (poll(&p, 1, 1000) > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(reader_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        if (writer_ >= 0) close(writer_);
        writer_ = -1;
    }
    int saved_ = -1, reader_ = -1, writer_ = -1;
    FILE* file_ = nullptr;
    bool ok_ = false;
};

std::string sBar(int filled, int pad) {
    return std::string(static_cast<size_t>(filled), '=') + ">" +
           std::string(static_cast<size_t>(pad), ' ');
}

const std::string kWipe = "\r" + std::string(88, ' ') + "\r";

TEST(ProgressTest, BarForGivenFractions) {
    CLI_Display display;
    const std::string longLabel(70, 'L');
    const struct {
        double fraction;
        const char* label;
        std::string want;
    } cases[] = {
        {0.5, nullptr, "\r[" + sBar(34, 34) + "] ( 50% ) "},
        {0.0, nullptr, "\r[" + sBar(0, 68) + "] (  0% ) "},
        {1.0, nullptr, "\r[" + sBar(69, 1) + "] (100% ) "},  // pad -1 prints one blank
        {0.999, nullptr, "\r[" + sBar(68, 0) + "] ( 99% ) "},
        {0.25, "abc", "\r (abc) [" + sBar(15, 46) + "] ( 25% ) "},
        {0.5, "", "\r () [" + sBar(32, 32) + "] ( 50% ) "},
        // Out-of-range fractions are drawn as their nearest end.
        {1.5, nullptr, "\r[" + sBar(69, 1) + "] (100% ) "},
        {-0.5, nullptr, "\r[" + sBar(0, 68) + "] (  0% ) "},
        {std::nan(""), nullptr, "\r[" + sBar(0, 68) + "] (  0% ) "},
        // Labels are cut to 64 characters so the bar keeps at least one column.
        {1.0, longLabel.c_str(), "\r (" + std::string(64, 'L') + ") [" + sBar(1, 1) + "] (100% ) "},
    };
    for (const auto& c : cases) {
        StdoutCapture capture(true);
        ASSERT_TRUE(capture.ok());
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(c.want, capture.take()) << c.fraction;
    }
}

TEST(ProgressTest, ShowPrintsNothingAndHideWipes) {
    CLI_Display display;
    StdoutCapture capture(true);
    ASSERT_TRUE(capture.ok());
    display.display_progress(true);
    display.display_progress(false);
    EXPECT_EQ(kWipe, capture.take());
}

TEST(SpinnerTest, FramesCycleAcrossDisplaysAndCallsAndWipeKeepsTheCounter) {
    const char* frames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    uint8_t start = CLI_Display::spinner_frame();
    std::string want;
    StdoutCapture capture(true);
    ASSERT_TRUE(capture.ok());
    {
        CLI_Display first;
        for (int i = 0; i < 5; ++i) {
            first.update_spinner(true, "Downloading");
            want += std::string("\r (Downloading) ") + frames[(start + i) % 8] + "      \r";
        }
        first.update_spinner(false, "Downloading");
        want += kWipe;
    }
    CLI_Display second;  // the counter is shared and continues where the last wait stopped
    for (int i = 5; i < 10; ++i) {
        second.update_spinner(true, nullptr);
        want += std::string("\r ") + frames[(start + i) % 8] + "      \r";
    }
    EXPECT_EQ(want, capture.take());
    EXPECT_EQ((start + 10) % 8, CLI_Display::spinner_frame());
}

TEST(NotATerminalTest, OnlyMessagesAppear) {
    CLI_Display display;
    uint8_t frame = CLI_Display::spinner_frame();
    StdoutCapture capture(false);
    ASSERT_TRUE(capture.ok());
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, "Verifying Update");
    display.update_spinner(false, "Verifying Update");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::INFO, "Update time: %.4f sec", 1.5);
    EXPECT_EQ("Update time: 1.5000 sec\n", capture.take());
    EXPECT_EQ(frame, CLI_Display::spinner_frame());
}

TEST(MessageTest, ErrorsGoToStandardError) {
    CLI_Display display;
    fflush(stderr);
    FILE* errors = tmpfile();
    ASSERT_NE(nullptr, errors);
    int saved = dup(STDERR_FILENO);
    dup2(fileno(errors), STDERR_FILENO);
    {
        StdoutCapture capture(false);
        ASSERT_TRUE(capture.ok());
        display.message(UpdaterDisplayInterface::ERROR, "Download failed");
        display.message(UpdaterDisplayInterface::INFO, "Build %u is valid", 7u);
        EXPECT_EQ("Build 7 is valid\n", capture.take());
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    rewind(errors);
    char buffer[64] = {};
    size_t n = fread(buffer, 1, sizeof buffer - 1, errors);
    fclose(errors);
    EXPECT_EQ("Download failed\n", std::string(buffer, n));
}

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override { ++draws; }
    void update_progress(double, const char*) override { ++draws; }
    void update_spinner(bool, const char*) override { ++draws; }
    void info_message(const char* text) override { lines.push_back("I:" + std::string(text)); }
    void error_message(const char* text) override { lines.push_back("E:" + std::string(text)); }
    std::vector<std::string> lines;
    int draws = 0;
};

TEST(MessageTest, LevelsMutingAndLengthCut) {
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::INFO, "a %d", 1);
    display.message(UpdaterDisplayInterface::ERROR, "b %s", "x");
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "c");  // any other level: info
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::ERROR, "hidden");
    display.update_spinner(true, nullptr);  // drawing is not muted
    display.update_progress(0.5, nullptr);
    display.mute_messages(false);
    std::string longText(3000, 'x');
    display.message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
    ASSERT_EQ(4u, display.lines.size());
    EXPECT_EQ("I:a 1", display.lines[0]);
    EXPECT_EQ("E:b x", display.lines[1]);
    EXPECT_EQ("I:c", display.lines[2]);
    EXPECT_EQ("I:" + std::string(2047, 'x'), display.lines[3]);
    EXPECT_EQ(2, display.draws);
}

}  // namespace
