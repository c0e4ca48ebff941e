/*
 * The CAN bridge on the emulated Raspberry Pi's I2C bus, as the driver
 * expects it to behave and no further: register 0x03 (the CAN bit rate)
 * written and read back, register 0x40 selected and then every 16-byte read
 * giving the next received frame (or the empty frame), every 17-byte write
 * beginning with 0x30 a frame to transmit. Everything else the driver could
 * do to it is kept as a protocol error.
 *
 *   -chardev socket,id=ctl,path=SOCKET
 *   -device qel-bridge,bus=i2c-bus.1,address=0x25,chardev=ctl
 *
 * The test side fills the receive queue, sets the bit-rate answers, reads
 * back the transmitted frames with the virtual time of their arrival and
 * injects faults through the chardev, one text line per request and one
 * line per answer (docs/design.md, "The bridge model").
 *
 * Copied into QEMU's hw/i2c by tools/pi/qemu.sh.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qemu/module.h"
#include "qemu/timer.h"
#include "hw/i2c/i2c.h"
#include "hw/qdev-properties.h"
#include "hw/qdev-properties-system.h"
#include "chardev/char-fe.h"
#include "qom/object.h"

#define TYPE_QEL_BRIDGE "qel-bridge"
OBJECT_DECLARE_SIMPLE_TYPE(QelBridgeState, QEL_BRIDGE)

#define FRAME_BYTES 16
#define TRANSMIT_BYTES 17
#define REG_BAUD 0x03
#define REG_TRANSMIT 0x30
#define REG_RECEIVE 0x40
#define NO_REGISTER 0x100
#define QUEUE_MAX 8192
#define SENT_MAX 4096
#define BAUD_MAX 8
#define WRITE_MAX 32
#define CONTROL_LINE_MAX 8192
#define ERRORS_MAX 64

typedef struct Transmitted {
    int64_t at_ns;
    uint8_t frame[FRAME_BYTES];
} Transmitted;

struct QelBridgeState {
    I2CSlave parent_obj;
    CharBackend chr;
    QEMUTimer *trickle;

    /* Receive queue: `count` frames from `head`, the first `ready` of them
     * released; the rest go one at a time, every `period_ns`. */
    uint8_t queue[QUEUE_MAX][FRAME_BYTES];
    uint32_t head, count, ready;
    int64_t period_ns;
    int cut_at;                     /* next frame served: bytes from here read 0xFF; -1 none */

    int selected;                   /* NO_REGISTER until a register is named */
    uint8_t baud;                   /* what register 0x03 holds */
    uint8_t baud_answers[BAUD_MAX]; /* what its next reads answer instead */
    uint32_t baud_pending;

    /* The transfer in progress. */
    bool accepted;                  /* its address acknowledged: it has an end to judge */
    bool refused;                   /* a byte of it refused by an injected fault */
    bool reading;
    uint8_t out[FRAME_BYTES];
    uint32_t out_pos;
    int out_register;
    uint8_t in[WRITE_MAX];
    uint32_t in_len;

    /* Faults. */
    int64_t unplugged_until;
    bool nack_next;
    int nack_byte;                  /* byte of the next write to refuse; -1 none */

    /* What the test side reads back. */
    Transmitted sent[SENT_MAX];
    uint32_t sent_count;
    GString *errors;
    uint32_t error_count;
    uint64_t transfers, frame_reads, empty_reads, nacked;
    int64_t first_nack, last_nack, resumed;

    char line[CONTROL_LINE_MAX];
    uint32_t line_len;
    bool line_too_long;             /* the line in progress passed CONTROL_LINE_MAX: dropped */
};

static int64_t now_ns(void)
{
    return qemu_clock_get_ns(QEMU_CLOCK_VIRTUAL);
}

static void protocol_error(QelBridgeState *s, const char *fmt, ...)
    G_GNUC_PRINTF(2, 3);

static void protocol_error(QelBridgeState *s, const char *fmt, ...)
{
    va_list ap;

    s->error_count++;
    if (s->error_count > ERRORS_MAX) {
        return;
    }
    if (s->errors->len) {
        g_string_append_c(s->errors, '|');
    }
    g_string_append_printf(s->errors, "%" PRId64 ":", now_ns());
    va_start(ap, fmt);
    g_string_append_vprintf(s->errors, fmt, ap);
    va_end(ap);
}

/* The frame the bridge gives when it has none: length code 0xFF, and the
 * checksum of bytes 0-14, where 0xFF is the only byte set. */
static void empty_frame(uint8_t *out)
{
    memset(out, 0, FRAME_BYTES);
    out[6] = 0xff;
    out[15] = 0xff;
}

/* ------------------------------------------------------------ the bus */

/* Takes the next released frame into the transfer's output, or the empty
 * frame; a frame cut short reads 0xFF from the cut on, as the bus does
 * when the bridge stops driving it. */
static void serve_frame(QelBridgeState *s)
{
    if (s->ready == 0) {
        empty_frame(s->out);
        s->empty_reads++;
        return;
    }
    memcpy(s->out, s->queue[s->head], FRAME_BYTES);
    s->head = (s->head + 1) % QUEUE_MAX;
    s->count--;
    s->ready--;
    s->frame_reads++;
    if (s->cut_at >= 0) {
        memset(s->out + s->cut_at, 0xff, FRAME_BYTES - s->cut_at);
        s->cut_at = -1;
    }
}

static void start_read(QelBridgeState *s)
{
    s->out_register = s->selected;
    s->out_pos = 0;
    memset(s->out, 0xff, FRAME_BYTES);
    if (s->selected == REG_RECEIVE) {
        serve_frame(s);
    } else if (s->selected == REG_BAUD) {
        s->out[0] = s->baud;
        if (s->baud_pending) {
            s->out[0] = s->baud_answers[0];
            memmove(s->baud_answers, s->baud_answers + 1, --s->baud_pending);
        }
    } else {
        protocol_error(s, "read before a register was selected");
    }
}

static void finish_read(QelBridgeState *s)
{
    uint32_t want = s->out_register == REG_RECEIVE ? FRAME_BYTES : 1;

    if (s->out_register != NO_REGISTER && s->out_pos != want) {
        protocol_error(s, "read of %u bytes from register 0x%02x", s->out_pos,
                       s->out_register);
    }
}

static void transmitted(QelBridgeState *s)
{
    if (s->sent_count == SENT_MAX) {
        protocol_error(s, "more than %d frames transmitted unread", SENT_MAX);
        return;
    }
    s->sent[s->sent_count].at_ns = now_ns();
    memcpy(s->sent[s->sent_count].frame, s->in + 1, FRAME_BYTES);
    s->sent_count++;
}

/* A write names a register in its first byte: alone, it selects it; with
 * one value byte, it sets it; a transmit frame leaves the selection. */
static void finish_write(QelBridgeState *s)
{
    uint8_t reg = s->in[0];

    if (s->in_len == TRANSMIT_BYTES && reg == REG_TRANSMIT) {
        transmitted(s);
    } else if (s->in_len == 1 && (reg == REG_BAUD || reg == REG_RECEIVE)) {
        s->selected = reg;
    } else if (s->in_len == 2 && reg == REG_BAUD) {
        s->selected = reg;
        s->baud = s->in[1];
    } else if (s->in_len == 0) {
        protocol_error(s, "write of no bytes");
    } else {
        protocol_error(s, "write of %u bytes beginning 0x%02x", s->in_len, reg);
    }
}

/* An injected refusal, of an address or of a byte: counted and timed, and
 * never a protocol error of the driver's. */
static void note_refusal(QelBridgeState *s)
{
    int64_t now = now_ns();

    s->nacked++;
    if (!s->first_nack) {
        s->first_nack = now;
    }
    s->last_nack = now;
    s->resumed = 0;
}

static bool refuses_address(QelBridgeState *s)
{
    if (s->nack_next || now_ns() < s->unplugged_until) {
        s->nack_next = false;
        note_refusal(s);
        return true;
    }
    if (s->nacked && !s->resumed) {
        s->resumed = now_ns();
    }
    return false;
}

/* QEMU hands a general call (address 0x00) to every device on the bus and
 * ignores their answer; the bridge does not take part in it. */
static bool general_call(QelBridgeState *s)
{
    I2CBus *bus = I2C_BUS(qdev_get_parent_bus(DEVICE(s)));

    return bus->broadcast;
}

/* Judges the transfer that ends. QEMU ends a refused transfer too: that one
 * has nothing to judge, and judging what the transfer before it left would
 * replay it (a refused poll after a heartbeat, the heartbeat once more). A
 * transfer cut by an injected refusal is no mistake of the driver's. */
static void finish_transfer(QelBridgeState *s)
{
    bool judge = s->accepted && !s->refused;

    s->accepted = false;
    if (!judge) {
        return;
    }
    if (s->reading) {
        finish_read(s);
    } else {
        finish_write(s);
    }
}

static int qel_bridge_event(I2CSlave *i2c, enum i2c_event event)
{
    QelBridgeState *s = QEL_BRIDGE(i2c);

    switch (event) {
    case I2C_START_RECV:
    case I2C_START_SEND:
        /* A repeated start ends the transfer before it. */
        finish_transfer(s);
        if (general_call(s) || refuses_address(s)) {
            return 1;
        }
        s->accepted = true;
        s->refused = false;
        s->transfers++;
        s->reading = event == I2C_START_RECV;
        s->in_len = 0;
        if (s->reading) {
            start_read(s);
        }
        return 0;
    case I2C_FINISH:
        finish_transfer(s);
        return 0;
    default:
        return 0;
    }
}

static uint8_t qel_bridge_recv(I2CSlave *i2c)
{
    QelBridgeState *s = QEL_BRIDGE(i2c);
    uint8_t byte = s->out_pos < FRAME_BYTES ? s->out[s->out_pos] : 0xff;

    s->out_pos++;
    return byte;
}

static int qel_bridge_send(I2CSlave *i2c, uint8_t data)
{
    QelBridgeState *s = QEL_BRIDGE(i2c);

    if (!s->accepted || s->refused) {
        return 1;
    }
    if (s->nack_byte >= 0 && (uint32_t)s->nack_byte == s->in_len) {
        s->nack_byte = -1;
        s->refused = true;
        note_refusal(s);
        return 1;
    }
    if (s->in_len < WRITE_MAX) {
        s->in[s->in_len] = data;
    }
    s->in_len++;
    return 0;
}

/* -------------------------------------------------------- the test side */

static void release_one(void *opaque)
{
    QelBridgeState *s = opaque;

    if (s->ready < s->count) {
        s->ready++;
    }
    if (s->ready < s->count) {
        timer_mod(s->trickle, now_ns() + s->period_ns);
    }
}

static bool parse_frame(const char *word, uint8_t *frame)
{
    int i;

    if (strlen(word) != 2 * FRAME_BYTES) {
        return false;
    }
    for (i = 0; i < FRAME_BYTES; i++) {
        int hi = g_ascii_xdigit_value(word[2 * i]);
        int lo = g_ascii_xdigit_value(word[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        frame[i] = hi << 4 | lo;
    }
    return true;
}

/* Appends the frames named by words[from..]; false (and nothing queued)
 * when one is no frame or they do not fit. */
static bool append_frames(QelBridgeState *s, char **words, int from, GString *reply)
{
    uint32_t n = g_strv_length(words) - from, i;
    uint8_t frame[FRAME_BYTES];

    if (s->count + n > QUEUE_MAX) {
        g_string_printf(reply, "error the queue holds at most %d frames", QUEUE_MAX);
        return false;
    }
    for (i = 0; i < n; i++) {
        if (!parse_frame(words[from + i], frame)) {
            g_string_printf(reply, "error '%s' is not 16 bytes in hexadecimal", words[from + i]);
            return false;
        }
    }
    for (i = 0; i < n; i++) {
        parse_frame(words[from + i], s->queue[(s->head + s->count) % QUEUE_MAX]);
        s->count++;
    }
    return true;
}

/* What a power cycle loses: the register selection and the bit rate. The
 * receive queue stands for the CAN bus, which goes on. */
static void power_on(QelBridgeState *s)
{
    s->selected = NO_REGISTER;
    s->baud = 0;
    s->baud_pending = 0;
}

static void reset_state(QelBridgeState *s)
{
    timer_del(s->trickle);
    s->head = s->count = s->ready = 0;
    s->cut_at = -1;
    power_on(s);
    s->unplugged_until = 0;
    s->nack_next = false;
    s->nack_byte = -1;
    s->sent_count = 0;
    g_string_truncate(s->errors, 0);
    s->error_count = 0;
    s->transfers = s->frame_reads = s->empty_reads = s->nacked = 0;
    s->first_nack = s->last_nack = s->resumed = 0;
}

static void reply_sent(QelBridgeState *s, GString *reply)
{
    uint32_t i, j;

    g_string_printf(reply, "ok %u", s->sent_count);
    for (i = 0; i < s->sent_count; i++) {
        g_string_append_printf(reply, " %" PRId64 ":", s->sent[i].at_ns);
        for (j = 0; j < FRAME_BYTES; j++) {
            g_string_append_printf(reply, "%02x", s->sent[i].frame[j]);
        }
    }
    s->sent_count = 0;
}

static void reply_stats(QelBridgeState *s, GString *reply)
{
    g_string_printf(reply, "ok queued=%u released=%u transfers=%" PRIu64
                    " frames=%" PRIu64 " empty=%" PRIu64 " nacked=%" PRIu64
                    " first_nack=%" PRId64 " last_nack=%" PRId64
                    " resumed=%" PRId64 " now=%" PRId64,
                    s->count, s->ready, s->transfers, s->frame_reads,
                    s->empty_reads, s->nacked, s->first_nack, s->last_nack,
                    s->resumed, now_ns());
}

/* One request; its answer in `reply`. */
static void handle_request(QelBridgeState *s, char **w, GString *reply)
{
    int n = g_strv_length(w);
    const char *cmd = n ? w[0] : "";

    g_string_assign(reply, "ok");
    if (!strcmp(cmd, "reset") && n == 1) {
        reset_state(s);
    } else if (!strcmp(cmd, "queue") && n >= 1) {
        if (s->ready < s->count) {
            g_string_assign(reply, "error frames are still being fed at a rate");
        } else if (append_frames(s, w, 1, reply)) {
            s->ready = s->count;
        }
    } else if (!strcmp(cmd, "feed") && n >= 2 && atoi(w[1]) > 0) {
        if (append_frames(s, w, 2, reply)) {
            s->period_ns = NANOSECONDS_PER_SECOND / atoi(w[1]);
            if (!timer_pending(s->trickle)) {
                timer_mod(s->trickle, now_ns() + s->period_ns);
            }
        }
    } else if (!strcmp(cmd, "baud") && n - 1 <= BAUD_MAX) {
        for (s->baud_pending = 0; (int)s->baud_pending < n - 1; s->baud_pending++) {
            s->baud_answers[s->baud_pending] = strtoul(w[1 + s->baud_pending], NULL, 16);
        }
    } else if (!strcmp(cmd, "unplug") && n == 2) {
        s->unplugged_until = now_ns() + atoll(w[1]) * SCALE_MS;
    } else if (!strcmp(cmd, "power-reset") && n == 1) {
        power_on(s);
    } else if (!strcmp(cmd, "nack") && n == 1) {
        s->nack_next = true;
    } else if (!strcmp(cmd, "nack-byte") && n == 2) {
        s->nack_byte = atoi(w[1]);
    } else if (!strcmp(cmd, "cut") && n == 2 && atoi(w[1]) >= 0 && atoi(w[1]) < FRAME_BYTES) {
        s->cut_at = atoi(w[1]);
    } else if (!strcmp(cmd, "sent") && n == 1) {
        reply_sent(s, reply);
    } else if (!strcmp(cmd, "errors") && n == 1) {
        g_string_printf(reply, "ok %u %s", s->error_count, s->errors->str);
    } else if (!strcmp(cmd, "stats") && n == 1) {
        reply_stats(s, reply);
    } else {
        g_string_printf(reply, "error unknown request '%s'", cmd);
    }
}

static void handle_line(QelBridgeState *s)
{
    g_autoptr(GString) reply = g_string_new(NULL);
    char **words;

    s->line[s->line_len] = '\0';
    words = g_strsplit_set(g_strstrip(s->line), " ", -1);
    /* Blanks in a row leave empty words: drop them. */
    {
        int i, j = 0;
        for (i = 0; words[i]; i++) {
            if (*words[i]) {
                words[j++] = words[i];
            } else {
                g_free(words[i]);
            }
        }
        words[j] = NULL;
    }
    handle_request(s, words, reply);
    g_strfreev(words);
    g_string_append_c(reply, '\n');
    qemu_chr_fe_write_all(&s->chr, (const uint8_t *)reply->str, reply->len);
}

/* Always room: a line that does not fit is read to its end and refused
 * there, so that the channel never waits for room that cannot come. */
static int control_can_receive(void *opaque)
{
    return CONTROL_LINE_MAX;
}

static void control_receive(void *opaque, const uint8_t *buf, int size)
{
    QelBridgeState *s = opaque;
    int i;

    for (i = 0; i < size; i++) {
        if (buf[i] == '\n') {
            if (s->line_too_long) {
                static const char too_long[] = "error line too long\n";

                qemu_chr_fe_write_all(&s->chr, (const uint8_t *)too_long, sizeof too_long - 1);
            } else {
                handle_line(s);
            }
            s->line_len = 0;
            s->line_too_long = false;
        } else if (buf[i] == '\r' || s->line_too_long) {
            continue;
        } else if (s->line_len < CONTROL_LINE_MAX - 1) {
            s->line[s->line_len++] = buf[i];
        } else {
            s->line_too_long = true;
        }
    }
}

/* ---------------------------------------------------------- the device */

static void qel_bridge_realize(DeviceState *dev, Error **errp)
{
    QelBridgeState *s = QEL_BRIDGE(dev);

    if (!qemu_chr_fe_backend_connected(&s->chr)) {
        error_setg(errp, "qel-bridge needs a chardev for the test side");
        return;
    }
    s->errors = g_string_new(NULL);
    s->trickle = timer_new_ns(QEMU_CLOCK_VIRTUAL, release_one, s);
    reset_state(s);
    qemu_chr_fe_set_handlers(&s->chr, control_can_receive, control_receive,
                             NULL, NULL, s, NULL, true);
}

static const Property qel_bridge_props[] = {
    DEFINE_PROP_CHR("chardev", QelBridgeState, chr),
};

static void qel_bridge_class_init(ObjectClass *klass, void *data)
{
    DeviceClass *dc = DEVICE_CLASS(klass);
    I2CSlaveClass *k = I2C_SLAVE_CLASS(klass);

    dc->realize = qel_bridge_realize;
    dc->desc = "CAN bridge of the QEL driver, with a chardev for the test side";
    k->event = qel_bridge_event;
    k->recv = qel_bridge_recv;
    k->send = qel_bridge_send;
    device_class_set_props(dc, qel_bridge_props);
}

static const TypeInfo qel_bridge_info = {
    .name = TYPE_QEL_BRIDGE,
    .parent = TYPE_I2C_SLAVE,
    .instance_size = sizeof(QelBridgeState),
    .class_init = qel_bridge_class_init,
};

static void qel_bridge_register_types(void)
{
    type_register_static(&qel_bridge_info);
}

type_init(qel_bridge_register_types)
