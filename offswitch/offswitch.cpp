// offswitch: the operator's emergency stop for the agent.
//
// Asks for the emergency key and, on an exact match, puts the agent into off mode by replacing the
// agent mode file with a new file holding the single byte "1". Exit status 0 after an answer, 1
// when the mode file could not be written; then nothing follows the prompt.
//
// The replacement is atomic: the new file is written and synced beside the old one and renamed
// over it, so the agent never finds the mode file absent, empty or half-written, and a failure
// leaves the old file as it was.

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "offswitch_key.h"
#include "velkaran_paths.h"

// The emergency key, compiled in from the configured key file.
const char key[] = OFFSWITCH_KEY;
static_assert(sizeof key == 1594, "the emergency key is 1593 characters and its terminator");

namespace {

constexpr std::size_t key_length = sizeof key - 1;

// Holds 1617 characters and a terminator; a longer entry is counted but not stored.
constexpr std::size_t entry_size = 1618;

constexpr char mode_dir[] = VELKARAN_DATA_DIR "/vornek";
constexpr char mode_name[] = "swich_Velkaran.txt";

// Temporary files are named ".swich_Velkaran.txt.<12 random characters>": hidden, beside the
// mode file (a rename cannot cross file systems), and never the same twice, so that debris left
// by a killed run can never stop a later switch.
constexpr char temp_prefix[] = ".swich_Velkaran.txt.";
constexpr std::size_t temp_random = 12;
constexpr std::size_t temp_name_size = sizeof temp_prefix + temp_random;
constexpr int temp_attempts = 64;

constexpr std::string_view prompt =
    "If you want to run norvane's emergency mode and switch the agent to off mode,\n"
    "insert the key:";
constexpr std::string_view switched_text = "The mode of the agent is on off mode.\n";
constexpr std::string_view wrong_key_text = "The key not invalid\n";

// What came of trying to put a new mode file in place.
enum class Outcome { switched, no_new_file, failed };

// A descriptor this program opens must never land on 0, 1 or 2: text meant for a closed standard
// output would then go into the mode file. Closed standard streams are therefore held open on
// /dev/null, or, where that cannot be opened, on a path-only descriptor that fails every read and
// write.
void keep_standard_streams_open() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int held = open("/dev/null", O_RDWR | O_NOCTTY);
        if (held < 0) {
            held = open("/", O_PATH | O_DIRECTORY);
        }
        if (held >= 0 && held != fd) {
            (void)close(held); // cannot happen: the lowest free descriptor is fd
        }
    }
}

// Writes text to standard output, unbuffered, so the prompt is on the terminal before the program
// waits for input. A failure is not acted upon: the exit status tells whether the switch was made.
void say(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// White space as the "%s" conversion skips it in the POSIX locale.
constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads one byte of standard input; false at the end of input or on an error. Reading a byte at a
// time keeps no copy of the entry in a stdio buffer and leaves what follows the entry unread.
bool next_byte(char &c) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

// Reads one white-space-delimited token into entry and returns its length; a token longer than
// entry can hold is read past whole and reported as entry_size, which no key length equals.
std::size_t read_entry(char (&entry)[entry_size]) {
    char c = '\0';
    do {
        if (!next_byte(c)) {
            return 0;
        }
    } while (is_space(c));
    std::size_t length = 0;
    do {
        if (length < entry_size - 1) {
            entry[length] = c;
        }
        if (length < entry_size) {
            ++length;
        }
    } while (next_byte(c) && !is_space(c));
    explicit_bzero(&c, sizeof c);
    return length;
}

// Compares the whole entry with the key in time that does not depend on where they differ. A
// token holding a NUL byte, or one that began with the key and went on, is a different entry.
bool matches_key(const char (&entry)[entry_size], std::size_t length) {
    volatile unsigned difference = length == key_length ? 0U : 1U;
    for (std::size_t i = 0; i < key_length; ++i) {
        difference = difference |
                     (static_cast<unsigned char>(entry[i]) ^ static_cast<unsigned char>(key[i]));
    }
    return difference == 0U;
}

// Failures that mean no new file can be made beside the mode file, while the mode file itself may
// still be writable in place.
bool lacks_room_or_rights(int error) {
    return error == EACCES || error == EPERM || error == ENOSPC || error == EDQUOT;
}

// Fills name with the temporary prefix and fresh random characters. Early in boot the kernel may
// not have random bytes yet; O_EXCL keeps names unique anyway, so the clock, the process id and
// the attempt then stand in for them.
void name_temp(char (&name)[temp_name_size], unsigned attempt) {
    constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
    unsigned char bytes[temp_random] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        (void)clock_gettime(CLOCK_REALTIME, &now);
        auto state = static_cast<unsigned long long>(now.tv_nsec) ^
                     (static_cast<unsigned long long>(now.tv_sec) << 30U) ^
                     (static_cast<unsigned long long>(getpid()) << 40U) ^ attempt;
        for (unsigned char &byte : bytes) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            byte = static_cast<unsigned char>(state >> 56U);
        }
    }
    std::memcpy(name, temp_prefix, sizeof temp_prefix - 1);
    for (std::size_t i = 0; i < temp_random; ++i) {
        name[sizeof temp_prefix - 1 + i] = alphabet[bytes[i] % 32U];
    }
    name[temp_name_size - 1] = '\0';
}

// Creates a new temporary file beside the mode file, as fopen(path, "w") would create it: mode
// 0666 less the umask. Returns its descriptor, or -1 with errno set.
int create_temp(int dir, char (&name)[temp_name_size]) {
    for (unsigned attempt = 0; attempt < temp_attempts; ++attempt) {
        name_temp(name, attempt);
        const int fd = openat(
            dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Writes "1" at the start of the file; true only when the byte was written.
bool write_mode(int fd) {
    ssize_t n = 0;
    do {
        n = pwrite(fd, "1", 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// Renames the temporary file over the mode file. A rename never follows a symbolic link at the
// target; an empty directory standing there is removed first, as remove(3) would remove it.
bool move_into_place(int dir, const char *temp) {
    if (renameat(dir, temp, dir, mode_name) == 0) {
        return true;
    }
    if (errno != EISDIR) {
        return false;
    }
    return unlinkat(dir, mode_name, AT_REMOVEDIR) == 0 && renameat(dir, temp, dir, mode_name) == 0;
}

// Syncs the directory so the rename survives a crash. EINVAL means the file system cannot sync a
// directory at all, and EBADF that the directory could only be opened as a path (see
// open_mode_dir); neither is a failure of this run.
bool sync_dir(int dir) {
    return fsync(dir) == 0 || errno == EINVAL || errno == EBADF;
}

// Writes a new mode file beside the old one, syncs it and renames it over the old one. On any
// failure the temporary file is removed and the old file is left exactly as it was.
Outcome replace_atomically(int dir) {
    char temp[temp_name_size] = {};
    const int fd = create_temp(dir, temp);
    if (fd < 0) {
        return lacks_room_or_rights(errno) ? Outcome::no_new_file : Outcome::failed;
    }
    int error = 0;
    if (!write_mode(fd) || fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0) {
        if (move_into_place(dir, temp)) {
            return sync_dir(dir) ? Outcome::switched : Outcome::failed;
        }
        error = errno;
    }
    // Nothing more can be done when the removal fails; the random name keeps the debris harmless.
    (void)unlinkat(dir, temp, 0);
    return lacks_room_or_rights(error) ? Outcome::no_new_file : Outcome::failed;
}

// Rewrites the existing mode file in place when no new file can be put in its place (a directory
// the operator may not write, a sticky directory and another user's file, or a full file system),
// keeping its owner and permissions. Only a regular file is rewritten, never through a symbolic
// link. The "1" goes in before the rest is cut off, so a failure never leaves the file empty.
bool rewrite_in_place(int dir) {
    const int fd =
        openat(dir, mode_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool written = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && write_mode(fd) &&
                         ftruncate(fd, 1) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && written;
}

// Opens the mode file's directory, to be synced after the rename. A directory that the operator
// may write but not read still takes the new file: it is then opened as a path only, which
// cannot be synced.
int open_mode_dir() {
    const int dir = open(mode_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0 || errno != EACCES) {
        return dir;
    }
    return open(mode_dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Puts the agent into off mode; true when the mode file now holds "1". The catchable signals are
// held back meanwhile, so that an interrupt cannot leave a temporary file behind.
bool switch_off() {
    const int dir = open_mode_dir();
    if (dir < 0) {
        return false;
    }
    sigset_t all{};
    sigset_t previous{};
    (void)sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &previous);
    const Outcome outcome = replace_atomically(dir);
    const bool switched =
        outcome == Outcome::switched || (outcome == Outcome::no_new_file && rewrite_in_place(dir));
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
    (void)close(dir); // read-only descriptor: nothing is lost if closing it fails
    return switched;
}

} // namespace

int main() {
    // Keep the key out of core dumps and away from other processes of the same user.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // A reader gone from standard output, or a file size limit, must not kill the switch: the
    // write then fails, and the failure is handled where it occurs.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    keep_standard_streams_open();

    char entry[entry_size] = {};
    say(prompt);
    const std::size_t length = read_entry(entry);
    const bool matched = matches_key(entry, length);
    explicit_bzero(entry, sizeof entry);
    if (!matched) {
        say(wrong_key_text);
        return 0;
    }
    if (!switch_off()) {
        return 1;
    }
    say(switched_text);
    return 0;
}
