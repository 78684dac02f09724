// offswitch: the operator's emergency stop for the agent.
//
// Asks for the emergency key and, on an exact match, puts the agent into off mode by replacing the
// agent mode file with a new file holding the single byte "1". Exit status 0 after an answer, 1
// when the mode file could not be written; then nothing follows the prompt.
//
// The replacement is atomic: the new file is written and synced beside the old one and renamed
// over it, so the agent never finds the mode file absent, empty or half-written, and a failure
// before the rename leaves the old file as it was. Status 0 comes only once the switch is durable.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <sodium/crypto_hash_sha256.h>
#include <sodium/utils.h>

#include "offswitch_key.h"
#include "velkaran_paths.h"

// The SHA-256 digest of the emergency key, compiled in from the configured key file. The program
// holds no copy of the key itself, so that nobody who can run it can read the key out of it.
const unsigned char key_digest[crypto_hash_sha256_BYTES] = OFFSWITCH_KEY_DIGEST;
static_assert(sizeof key_digest == 32, "the key's digest is a SHA-256 digest");

namespace {

constexpr std::size_t key_length = 1593;

// Holds 1617 characters and a terminator; an entry that reaches 1618 characters is refused.
constexpr std::size_t entry_size = 1618;
constexpr std::size_t refused = entry_size;

// Standard input is read in blocks: a terminal hands over a whole line (at most 4095 characters
// in canonical mode) in one read.
constexpr std::size_t block_size = 4096;

// A terminal in bracketed-paste mode wraps a paste in these markers. The escape character is never
// in a key, so on a terminal they are taken off the entry.
constexpr std::string_view paste_start = "\x1b[200~";
constexpr std::string_view paste_end = "\x1b[201~";

// After the answer, a terminal's input is discarded until it has been quiet this long, so that the
// rest of a paste still arriving in pieces (a terminal writes a long paste in chunks, SSH in
// packets) never reaches the shell; however busy the input, the program ends within the limit.
constexpr int quiet_ms = 400;
constexpr long discard_limit_ms = 5000;
// How long a read waits before it tries again where poll cannot wait for it.
constexpr long retry_pause_ns = 10'000'000;

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
enum class Outcome : unsigned char { switched, no_new_file, failed };

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

// Reads the next block of standard input; returns its length, 0 at the end of input or on an error.
// It waits for input before each read, so that a descriptor left non-blocking, or a terminal
// without canonical input and VMIN 0, waits for the operator like a plain blocking read instead of
// being taken for the end of input. The end is a read of 0 bytes once input is ready: the end of a
// file, a pipe whose writers are gone, a hang-up, or the end-of-file character on a canonical
// terminal. A poll that fails (out of memory, or a descriptor limit below 1) leaves it to the read,
// as a plain blocking read would: the entry must not end while the key is still to be read. Should
// that read find nothing yet on a non-blocking descriptor, it tries again a little later.
std::size_t read_block(char (&block)[block_size]) {
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const bool polled = poll(&input, 1, -1) >= 0;
        if (!polled && errno == EINTR) {
            continue;
        }
        const ssize_t n = read(STDIN_FILENO, block, sizeof block);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
        if (!polled && errno != EINTR) {
            const timespec pause{0, retry_pause_ns};
            (void)nanosleep(&pause, nullptr);
        }
    }
}

// Hands what the last block brought in past the entry back to the next reader, where standard
// input is a regular file: its offset is set back to the first byte not taken. A terminal's or
// pipe's bytes cannot be given back, and are dropped, so nothing on the key's line is ever run.
void give_back(std::size_t unread) {
    struct stat status {};
    if (unread > 0 && fstat(STDIN_FILENO, &status) == 0 && S_ISREG(status.st_mode)) {
        (void)lseek(STDIN_FILENO, -static_cast<off_t>(unread), SEEK_CUR);
    }
}

bool ends_with(const unsigned char (&entry)[entry_size], std::size_t length,
               std::string_view marker) {
    return length >= marker.size() &&
           std::memcmp(entry + length - marker.size(), marker.data(), marker.size()) == 0;
}

// Reads one white-space-delimited token into entry and returns its length, or refused as soon as
// it reaches entry_size characters, which no key length equals; leading white space is skipped
// without limit. The token ends at white space, which is left for the next reader, or at the end
// of input. On a terminal, a bracketed paste's start marker before the token counts as leading
// white space, and its end marker ends the token.
std::size_t read_entry(unsigned char (&entry)[entry_size], char (&block)[block_size],
                       bool terminal) {
    std::size_t length = 0;
    bool paste_started = false;
    for (;;) {
        const std::size_t got = read_block(block);
        if (got == 0) {
            return length;
        }
        for (std::size_t i = 0; i < got; ++i) {
            if (is_space(block[i])) {
                if (length == 0) {
                    continue;
                }
                give_back(got - i);
                return length;
            }
            if (length == entry_size - 1) {
                give_back(got - i - 1);
                return refused;
            }
            entry[length++] = static_cast<unsigned char>(block[i]);
            if (!terminal) {
                continue;
            }
            if (!paste_started && length == paste_start.size() &&
                ends_with(entry, length, paste_start)) {
                paste_started = true;
                length = 0;
            } else if (ends_with(entry, length, paste_end)) {
                return length - paste_end.size();
            }
        }
    }
}

// Discards what is left in a terminal's input queue once the answer is given, including what is
// still arriving, until the input has been quiet for quiet_ms, then flushes the queue: a wrapped
// paste's further lines, or a partial line, never reach the shell. A canonical terminal reports
// only whole lines as ready, which the flush takes care of. What is read goes through block, which
// the caller wipes. The terminal's settings are left as they are.
void discard_pending_input(char (&block)[block_size]) {
    timespec start{};
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        // The bound is checked on every turn, an interrupted poll's included.
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >
            discard_limit_ms) {
            break;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, quiet_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (input.revents & POLLIN) == 0) {
            break;
        }
        // Only what is there is read, so that the read cannot wait should another reader of the
        // terminal take the input first.
        int waiting = 0;
        if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting <= 0) {
            break;
        }
        const std::size_t wanted = std::min(static_cast<std::size_t>(waiting), sizeof block);
        const ssize_t n = read(STDIN_FILENO, block, wanted);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
    }
    (void)tcflush(STDIN_FILENO, TCIFLUSH);
}

// Whether the entry is the key: exactly as long as the key, with the key's SHA-256 digest. The
// digests are compared in time that does not depend on where they differ, and the entry's digest
// and the hash state are wiped. A token holding a NUL byte, or one that began with the key and went
// on, is a different entry. The hash and the comparison need no sodium_init(), which would also
// seed a random generator that this program never uses, and can wait for the kernel's entropy
// early in boot.
bool matches_key(const unsigned char (&entry)[entry_size], std::size_t length) {
    crypto_hash_sha256_state state{};
    unsigned char digest[crypto_hash_sha256_BYTES] = {};
    (void)crypto_hash_sha256_init(&state);
    (void)crypto_hash_sha256_update(&state, entry, length < entry_size ? length : entry_size - 1);
    (void)crypto_hash_sha256_final(&state, digest);
    const bool same_digest = sodium_memcmp(digest, key_digest, sizeof digest) == 0;
    explicit_bzero(&state, sizeof state);
    explicit_bzero(digest, sizeof digest);
    return length == key_length && same_digest;
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

// Writes "1" at the start of the file; true only when the byte was written. A write that stores
// nothing sets no error of its own, so it is reported as an I/O error.
bool write_mode(int fd) {
    ssize_t n = 0;
    do {
        n = pwrite(fd, "1", 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        errno = EIO;
    }
    return n == 1;
}

// Whether the directory is append-only or immutable: a file made in it could then be neither
// renamed nor removed, and would stay behind as debris. statx reads the attributes through a
// path-only descriptor too; the flags ioctl is asked where statx cannot tell.
bool refuses_removal(int dir) {
    constexpr auto fixed =
        static_cast<unsigned long long>(STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE);
    struct statx status {};
    if (statx(dir, "", AT_EMPTY_PATH, 0, &status) == 0 &&
        (status.stx_attributes_mask & fixed) != 0) {
        return (status.stx_attributes & fixed) != 0;
    }
    int flags = 0;
    return ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 &&
           (static_cast<unsigned>(flags) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
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

// Writes a new mode file beside the old one, syncs it and renames it over the old one, then makes
// the rename durable. On a failure before the rename the temporary file is removed and the old
// file is left exactly as it was; after it, the new file stays in place. No temporary file is made
// in a directory that would refuse to let it be renamed or removed.
Outcome replace_atomically(int dir) {
    if (refuses_removal(dir)) {
        return Outcome::no_new_file;
    }
    char temp[temp_name_size] = {};
    const int fd = create_temp(dir, temp);
    if (fd < 0) {
        return lacks_room_or_rights(errno) ? Outcome::no_new_file : Outcome::failed;
    }
    if (!write_mode(fd) || fsync(fd) != 0 || !move_into_place(dir, temp)) {
        const int error = errno;
        (void)close(fd);
        // Nothing more can be done when the removal fails; the random name keeps the debris
        // harmless.
        (void)unlinkat(dir, temp, 0);
        return lacks_room_or_rights(error) ? Outcome::no_new_file : Outcome::failed;
    }
    // The rename survives a crash once the directory is synced. Where the directory can only be
    // opened as a path (see open_mode_dir), or its file system cannot sync a directory, the whole
    // file system is synced through the new file instead.
    const bool durable =
        fsync(dir) == 0 || ((errno == EBADF || errno == EINVAL) && syncfs(fd) == 0);
    return close(fd) == 0 && durable ? Outcome::switched : Outcome::failed;
}

// Rewrites the existing mode file in place when no new file can be put in its place (a directory
// the operator may not write, an append-only directory, a sticky directory and another user's
// file, or a full file system), keeping its owner and permissions. Only a regular file with no
// other name is rewritten, never through a symbolic link or a second hard link. The "1" goes in
// and is synced before the rest is cut off, so a failure or a crash never leaves the file empty.
bool rewrite_in_place(int dir) {
    const int fd =
        openat(dir, mode_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool written = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                         status.st_nlink == 1 && write_mode(fd) && fdatasync(fd) == 0 &&
                         ftruncate(fd, 1) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && written;
}

// Opens the mode file's directory, to be synced after the rename. A directory that the operator
// may write but not read still takes the new file: it is then opened as a path only, which
// cannot be synced itself.
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

// Answers the entry: switches the agent off when it is the key. Returns the exit status.
int answer(bool matched) {
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

} // namespace

int main() {
    // Keep the entry out of core dumps and away from other processes of the same user.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // A reader gone from standard output, or a file size limit, must not kill the switch: the
    // write then fails, and the failure is handled where it occurs.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    keep_standard_streams_open();
    const bool terminal = isatty(STDIN_FILENO) == 1;

    unsigned char entry[entry_size] = {};
    char block[block_size] = {};
    say(prompt);
    const std::size_t length = read_entry(entry, block, terminal);
    const bool matched = matches_key(entry, length);
    explicit_bzero(entry, sizeof entry);
    explicit_bzero(block, sizeof block);
    const int status = answer(matched);
    if (terminal) {
        discard_pending_input(block);
        explicit_bzero(block, sizeof block);
    }
    return status;
}
