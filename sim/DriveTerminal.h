// A drive's diagnostic terminal at the far end of a pseudo-terminal.
//
// The client opens the pty's slave side (Path()) as a serial port; the terminal reads and writes
// the master side on a thread of its own (or on the calling thread with Run). It behaves like the
// terminals of the drives the service repairs, as far as the serial bridge relies on it:
//   - asleep (optional), it ignores everything until Ctrl-Z (26) wakes it;
//   - awake, it echoes what is typed and answers every carriage return with CR LF and its prompt
//     ("T>" by default, so a bare carriage return gets exactly four characters back);
//   - "B96", "B192", "B576", "B115" switch it to 9600, 19200, 57600, 115200 bit/s;
//   - "Uhhhh,llll" starts byte entry at the address 0xhhhhllll: it prompts "-->" for every byte,
//     takes two hexadecimal digits and a line feed per byte, and a carriage return ends the entry;
//   - "V" prints a line with its speed, anything else "Unknown command".
// It only talks at its own speed: when the line speed the client set (read from the pty's
// termios) differs, it stays silent, as a real line would only carry garbage.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zkv {

class DriveTerminal {
public:
    struct Options {
        std::int32_t speed = 9600;
        bool awake = true;
        bool acceptsSpeedCommands = true;
        std::string prompt = "T>";
    };
    // What the terminal saw, for tests.
    struct Record {
        std::string received;                   // every byte, as it came
        std::vector<std::string> speedCommands; // each B... command line
        std::vector<std::int32_t> lineSpeeds;   // the client's line speed at each of them
        int carriageReturns = 0;
        int wakeUps = 0;
        std::int32_t speed = 0; // the terminal's speed now
        std::uint32_t bufferAddress = 0;
        std::vector<std::uint8_t> bufferBytes; // bytes of the last byte entry
    };

    // Opens a pty; throws std::system_error when none can be had.
    explicit DriveTerminal(Options options);
    DriveTerminal() : DriveTerminal(Options{}) {}
    ~DriveTerminal();
    DriveTerminal(const DriveTerminal&) = delete;
    DriveTerminal& operator=(const DriveTerminal&) = delete;

    // The device the client opens.
    const std::string& Path() const { return path_; }
    // Runs the terminal on its own thread until Stop or destruction.
    void Start();
    void Stop();
    // Runs the terminal on the calling thread until Stop is called (from a signal handler too).
    void Run();

    Record Snapshot() const;
    // Sends text as the drive would on its own (a status line, say), at the terminal's speed.
    void Say(std::string_view text);

private:
    void Handle(char c);
    void Line(const std::string& line);
    void Send(std::string_view text);
    std::int32_t LineSpeed() const;
    std::string Prompt() const { return "\r\n" + options_.prompt; }

    Options options_;
    int master_ = -1;
    int slave_ = -1; // held so the pty never hangs up between the client's opens
    int wake_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex lock_;
    Record record_;
    bool awake_ = true;
    bool entry_ = false;
    std::string line_;
    std::string hex_;
};

} // namespace zkv
