#include "mirror.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "diagnostics.h"
#include "messages.h"

namespace {

std::atomic<bool> mirror_on{false};

static_assert(sizeof(struct can_frame) == 16, "Linux's classic CAN frame");

// The socket and its name change only under this lock; the receive thread
// only ever tries it, and counts a frame it cannot send then as dropped.
pthread_mutex_t mirror_lock = PTHREAD_MUTEX_INITIALIZER;
int mirror_fd = -1;
char mirror_name[IFNAMSIZ] = "";

std::atomic<uint64_t> sent{0}, dropped{0}, checksum_errors{0}, empty{0};

void count(std::atomic<uint64_t> &counter) { counter.fetch_add(1, std::memory_order_relaxed); }

int open_socket(const char *iface) {
    int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return -errno;
    // No filter: the socket takes in nothing from the interface.
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0);
    struct ifreq request = {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", iface);
    int err = 0;
    if (ioctl(fd, SIOCGIFINDEX, &request) != 0) {
        err = errno;
    } else {
        struct sockaddr_can address = {};
        address.can_family = AF_CAN;
        address.can_ifindex = request.ifr_ifindex;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) err = errno;
        else if (ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) == 0) err = ENETDOWN;
    }
    if (err == 0) return fd;
    close(fd);
    return -err;
}

// The caller holds the lock.
void close_mirror() {
    mirror_on.store(false, std::memory_order_relaxed);
    if (mirror_fd >= 0) close(mirror_fd);
    mirror_fd = -1;
    mirror_name[0] = '\0';
}

// Ends the mirror because a send failed; the caller holds the lock.
void end_after(int err, char *line, size_t cap) {
    const char *why = err == ENETDOWN ? MSG_MIRROR_WENT_DOWN
                      : err == ENODEV || err == ENXIO ? MSG_MIRROR_REMOVED
                                                      : strerror(err);
    snprintf(line, cap, MSG_MIRROR_STOPPED, mirror_name, why);
    close_mirror();
}

}  // namespace

bool mirror_running() { return mirror_on.load(std::memory_order_relaxed); }

void mirror_can_frame(const uint8_t *frame, uint8_t *out) {
    struct can_frame can = {};
    uint32_t id = frame_id(frame);
    can.can_id = id > CAN_SFF_MASK ? (id | CAN_EFF_FLAG) : id;
    uint8_t length = frame[FRAME_LENGTH_AT];
    can.len = length < CAN_MAX_DLEN ? length : CAN_MAX_DLEN;
    if (length > CAN_MAX_DLEN && length <= CAN_MAX_RAW_DLC) can.len8_dlc = length;
    memcpy(can.data, frame + FRAME_DATA_AT, can.len);
    memcpy(out, &can, sizeof can);
}

int mirror_start(const char *iface) {
    int fd = open_socket(iface);
    if (fd < 0) return -fd;
    mirror_attach(fd, iface);
    return 0;
}

void mirror_attach(int fd, const char *iface) {
    pthread_mutex_lock(&mirror_lock);
    close_mirror();
    mirror_fd = fd;
    snprintf(mirror_name, sizeof mirror_name, "%s", iface);
    for (auto *counter : {&sent, &dropped, &checksum_errors, &empty}) counter->store(0, std::memory_order_relaxed);
    mirror_on.store(true, std::memory_order_relaxed);
    pthread_mutex_unlock(&mirror_lock);
}

void mirror_stop() {
    pthread_mutex_lock(&mirror_lock);
    close_mirror();
    pthread_mutex_unlock(&mirror_lock);
}

void mirror_state(char *iface, size_t cap, mirror_counts *counts) {
    pthread_mutex_lock(&mirror_lock);
    snprintf(iface, cap, "%s", mirror_name);
    pthread_mutex_unlock(&mirror_lock);
    *counts = {sent.load(std::memory_order_relaxed), dropped.load(std::memory_order_relaxed),
               checksum_errors.load(std::memory_order_relaxed), empty.load(std::memory_order_relaxed)};
}

void mirror_failure(char *out, size_t cap, const char *iface, int err) {
    char why[160];
    if (err == EAFNOSUPPORT || err == EPROTONOSUPPORT) snprintf(why, sizeof why, "%s", MSG_MIRROR_NO_CAN);
    else if (err == ENODEV) snprintf(why, sizeof why, MSG_MIRROR_NO_INTERFACE, iface, iface);
    else if (err == ENETDOWN) snprintf(why, sizeof why, MSG_MIRROR_DOWN, iface);
    else snprintf(why, sizeof why, "%s", strerror(err));
    snprintf(out, cap, MSG_MIRROR_FAILED, iface, why);
}

void mirror_record(const uint8_t *frame) {
    switch (kind_of(frame)) {
        case frame_kind::empty:
            return count(empty);
        case frame_kind::invalid:
            return count(checksum_errors);
        case frame_kind::error_marker:
        case frame_kind::unknown_marker:
            return;
        case frame_kind::can:
            break;
    }
    if (!frame_checksum_ok(frame)) return count(checksum_errors);
    uint8_t can[sizeof(struct can_frame)];
    mirror_can_frame(frame, can);
    if (pthread_mutex_trylock(&mirror_lock) != 0) return count(dropped);
    char line[160] = "";
    if (mirror_fd >= 0) {
        ssize_t n = send(mirror_fd, can, sizeof can, MSG_DONTWAIT | MSG_NOSIGNAL);
        int err = n < 0 ? errno : EIO;
        if (n == static_cast<ssize_t>(sizeof can)) count(sent);
        else if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR) count(dropped);
        else end_after(err, line, sizeof line);
    }
    pthread_mutex_unlock(&mirror_lock);
    if (line[0] != '\0') console_line("%s", line);
}

// No interface's name holds a control character, and one in a console line
// would break it or hide what follows.
static bool has_control_character(const char *name) {
    for (const char *c = name; *c != '\0'; c++) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return true;
    }
    return false;
}

bool mirror_name_valid(const char *name, size_t length) {
    return length >= 1 && length < IFNAMSIZ && strlen(name) == length && strchr(name, '/') == nullptr &&
           !has_control_character(name);
}

void mirror_from_environment() {
    const char *iface = getenv("QEL_MIRROR");
    if (iface == nullptr || iface[0] == '\0' || mirror_running()) return;
    if (!mirror_name_valid(iface, strlen(iface))) return console_line("%s", MSG_MIRROR_ARG1);
    int err = mirror_start(iface);
    if (err == 0) return console_line(MSG_MIRROR_ON, iface);
    char line[320];
    mirror_failure(line, sizeof line, iface, err);
    console_line("%s", line);
}
