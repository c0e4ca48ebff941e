// A TCG plugin for qemu-arm and qemu-aarch64 (user mode) that counts the
// guest instructions each thread executes, and its system calls. In user
// mode every guest thread is a vCPU of its own, so a count per vCPU index
// is a count per thread (an index that a finished thread gave back is
// reused by the next new one).
//
// The guest marks the moments it wants the counts of with close(2) on a
// descriptor that cannot be open, 0x51e1000 + n: the plugin then writes
//   mark n vcpu i born b count c syscalls s waits w writes r
// for every vCPU seen so far (b: the mark after which it first ran; s: its
// system calls; w: those of them that wait for events, epoll_wait and its
// kin, so that an event loop's wake-ups can be told; r: its write(2) calls,
// which on a thread that prints nothing are the signals that wake an event
// loop), and at exit the same with "exit" for "mark n". One closing call costs a few hundred
// instructions, against the millions of a Node start-up.
//   qemu-arm -plugin insn_count.so[,out=FILE] node ...   (or qemu-aarch64)
#include <glib.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <qemu-plugin.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum { MAX_VCPUS = 256, MARK_BASE = 0x51e1000, MARKS = 4096 };

// The system calls' numbers: 32-bit ARM keeps the old table, AArch64 has
// the generic one (no epoll_wait there: its C library calls epoll_pwait).
struct numbers { int64_t close, write, epoll_wait, epoll_pwait, epoll_pwait2; };
static const struct numbers ARM = {6, 4, 252, 346, 441};
static const struct numbers AARCH64 = {57, 64, -1, 22, 441};
static struct numbers nr;

static uint64_t counts[MAX_VCPUS];
static uint64_t syscalls[MAX_VCPUS];
static uint64_t waits[MAX_VCPUS];
static uint64_t writes[MAX_VCPUS];
static int born[MAX_VCPUS];
static int seen[MAX_VCPUS];
static int last_mark = -1;
static FILE *out;

static int slot(unsigned int vcpu) { return vcpu < MAX_VCPUS ? (int)vcpu : MAX_VCPUS - 1; }

// Each thread adds to its own slot only, so no two threads write one word.
static void on_tb(unsigned int vcpu, void *udata)
{
    counts[slot(vcpu)] += (uintptr_t)udata;
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    qemu_plugin_register_vcpu_tb_exec_cb(tb, on_tb, QEMU_PLUGIN_CB_NO_REGS,
                                         (void *)(uintptr_t)qemu_plugin_tb_n_insns(tb));
}

static void on_vcpu_init(qemu_plugin_id_t id, unsigned int vcpu)
{
    int s = slot(vcpu);
    if (!seen[s]) born[s] = last_mark;
    seen[s] = 1;
}

static void dump(const char *what, int mark)
{
    for (int i = 0; i < MAX_VCPUS; i++) {
        if (!seen[i]) continue;
        if (mark >= 0) fprintf(out, "%s %d ", what, mark);
        else fprintf(out, "%s ", what);
        fprintf(out, "vcpu %d born %d count %" PRIu64 " syscalls %" PRIu64 " waits %" PRIu64 " writes %" PRIu64 "\n",
                i, born[i], counts[i], syscalls[i], waits[i], writes[i]);
    }
    fflush(out);
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1, uint64_t a2,
                       uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8)
{
    int s = slot(vcpu);
    syscalls[s]++;
    if (num == nr.epoll_wait || num == nr.epoll_pwait || num == nr.epoll_pwait2) waits[s]++;
    if (num == nr.write) writes[s]++;
    uint32_t fd = (uint32_t)a1;
    if (num != nr.close || fd < MARK_BASE || fd >= MARK_BASE + MARKS) return;
    last_mark = (int)(fd - MARK_BASE);
    dump("mark", last_mark);
}

static void on_exit_cb(qemu_plugin_id_t id, void *p)
{
    dump("exit", -1);
    if (out != stderr) fclose(out);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv)
{
    out = stderr;
    nr = info->target_name && strcmp(info->target_name, "aarch64") == 0 ? AARCH64 : ARM;
    for (int i = 0; i < argc; i++) {
        if (strncmp(argv[i], "out=", 4) == 0 && !(out = fopen(argv[i] + 4, "w"))) return -1;
    }
    qemu_plugin_register_vcpu_init_cb(id, on_vcpu_init);
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
    qemu_plugin_register_atexit_cb(id, on_exit_cb, NULL);
    return 0;
}
