/* The board's side of the GPIO lines on the virtual board, inside the guest.
 *
 *   vboard-agent setup          make the board's three GPIO banks live on gpio-sim with
 *                               the board's numbers (a filler chip first takes the top
 *                               of the number space) and set every input's pull
 *   vboard-agent run DEVICE     watch the lines and serve the host on DEVICE (a UART)
 *
 * What "run" reports, one line each, prefixed with the guest's CLOCK_MONOTONIC in ms
 * (the clock journalctl -o short-monotonic shows):
 *   MS hello                    once, and again on "ping"
 *   MS gpio N V                 an output line now drives V (gpio-sim's value)
 *   MS exp N 0|1                line N became unexported / exported in sysfs
 *   MS fb N V                   feedback line N set to V after its contactor moved
 *   MS out ID TEXT              a line of a command's output
 *   MS rc ID STATUS             the command ended
 *   MS sig PID SIGNAL STATUS    a signal was sent (kill() status)
 * What it takes:
 *   ping | pull N 0|1 | hold N 0|1 | release N | sh ID COMMAND... | kill SIGNAL PID
 * Contactor feedbacks follow their outputs after a relay delay of 50 ms unless held.
 * The contactor outputs' pulls are the closed level: a released line reads closed. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define CFG "/sys/kernel/config/gpio-sim"

struct bank {
    const char *name;
    int lines;
    int base; /* the number it must come out at; 0: the filler */
};

/* Made live in this order: bases are handed out from the top down. */
static const struct bank banks[] = {
    {"filler", 0, 0}, {"bank0", 24, 488}, {"bank1", 92, 396}, {"bank2", 52, 344}};
#define NBANKS 4

struct line {
    int n;
    const char *role; /* out: an output the board reads; in: an input the board drives */
    int pull;         /* the level the line shows when nothing drives it */
    int feedback;     /* for a contactor output: its feedback line */
};

/* Contactor outputs pull to 0, the closed level of the active-low lines. */
static const struct line lines[] = {
    {405, "out", 0, 410}, {401, "out", 0, 396}, {400, "out", 0, 404}, {399, "out", 0, 398},
    {408, "out", 0, 0},   {409, "out", 0, 0},   {407, "out", 0, 0},   {397, "out", 0, 0},
    {503, "out", 0, 0},   {504, "out", 0, 0},   {410, "in", 1, 0},    {396, "in", 1, 0},
    {404, "in", 1, 0},    {398, "in", 1, 0},    {490, "in", 1, 0},    {406, "in", 1, 0},
    {403, "in", 1, 0},    {402, "in", 1, 0},    {432, "in", 1, 0}};
#define NLINES 19

static int nr_gpio = 1024;

static void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "vboard-agent: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    exit(1);
}

static int put(const char *path, const char *text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == (ssize_t)strlen(text) ? 0 : -1;
}

static int get(const char *path, char *buf, size_t len) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, len - 1);
    close(fd);
    if (n < 0) return -1;
    buf[n] = 0;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = 0;
    return 0;
}

/* The sysfs directory of line n's simulator attributes. */
static int sim_dir(int n, char *out, size_t len) {
    for (int b = 1; b < NBANKS; b++) {
        if (n < banks[b].base || n >= banks[b].base + banks[b].lines) continue;
        char p[256], dev[64], chip[64];
        snprintf(p, sizeof p, CFG "/%s/dev_name", banks[b].name);
        if (get(p, dev, sizeof dev)) return -1;
        snprintf(p, sizeof p, CFG "/%s/bank0/chip_name", banks[b].name);
        if (get(p, chip, sizeof chip)) return -1;
        snprintf(out, len, "/sys/devices/platform/%s/%s/sim_gpio%d", dev, chip, n - banks[b].base);
        return 0;
    }
    return -1;
}

static int set_pull(int n, int v) {
    char d[256], p[300];
    if (sim_dir(n, d, sizeof d)) return -1;
    snprintf(p, sizeof p, "%s/pull", d);
    return put(p, v ? "pull-up" : "pull-down");
}

static int setup(void) {
    char p[256], text[32];
    mkdir("/sys/kernel/config", 0755);
    if (access(CFG, F_OK) != 0 && mount("configfs", "/sys/kernel/config", "configfs", 0, NULL) &&
        errno != EBUSY)
        die("cannot mount configfs: %s", strerror(errno));
    if (access(CFG, F_OK) != 0) die("%s missing: is the gpio-sim module loaded?", CFG);
    if (getenv("VBOARD_NR_GPIO")) nr_gpio = atoi(getenv("VBOARD_NR_GPIO"));
    for (int b = 0; b < NBANKS; b++) {
        int lines_n = banks[b].lines ? banks[b].lines : nr_gpio - 512;
        if (lines_n <= 0) continue;
        snprintf(p, sizeof p, CFG "/%s", banks[b].name);
        if (mkdir(p, 0755) && errno != EEXIST) die("mkdir %s: %s", p, strerror(errno));
        snprintf(p, sizeof p, CFG "/%s/bank0", banks[b].name);
        if (mkdir(p, 0755) && errno != EEXIST) die("mkdir %s: %s", p, strerror(errno));
        snprintf(p, sizeof p, CFG "/%s/bank0/num_lines", banks[b].name);
        snprintf(text, sizeof text, "%d", lines_n);
        if (put(p, text)) die("write %s: %s", p, strerror(errno));
        snprintf(p, sizeof p, CFG "/%s/live", banks[b].name);
        if (put(p, "1")) die("write %s: %s", p, strerror(errno));
        if (!banks[b].base) continue;
        char chip[64];
        snprintf(p, sizeof p, CFG "/%s/bank0/chip_name", banks[b].name);
        if (get(p, chip, sizeof chip)) die("no chip name for %s", banks[b].name);
        /* The legacy class device is named after the base and sits under the chip. */
        char dev[64], want[160], real[PATH_MAX];
        snprintf(p, sizeof p, CFG "/%s/dev_name", banks[b].name);
        if (get(p, dev, sizeof dev)) die("no device name for %s", banks[b].name);
        snprintf(want, sizeof want, "/%s/", dev);
        snprintf(p, sizeof p, "/sys/class/gpio/gpiochip%d", banks[b].base);
        if (!realpath(p, real) || !strstr(real, want))
            die("%s (%s) did not come out at base %d, where the board has it", banks[b].name, want,
                banks[b].base);
    }
    for (int i = 0; i < NLINES; i++)
        if (set_pull(lines[i].n, lines[i].pull)) die("cannot set the pull of line %d", lines[i].n);
    printf("vboard-agent: banks live at 488, 396, 344; pulls set\n");
    return 0;
}

/* ---- run ---- */

static int tty = -1;

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void say(const char *fmt, ...) {
    char buf[1200];
    int n = snprintf(buf, sizeof buf, "%lld ", now_ms());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    if (n > (int)sizeof buf - 2) n = sizeof buf - 2;
    buf[n++] = '\n';
    for (int off = 0; off < n;) {
        ssize_t w = write(tty, buf + off, n - off);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                usleep(1000);
                continue;
            }
            return;
        }
        off += w;
    }
}

struct watch {
    int n, fd, value, exported, feedback;
    long long due; /* when the feedback follows */
    int held;      /* -1, or the value a held feedback keeps */
};

static struct watch w[NLINES];

#define MAXJOBS 8
struct job {
    int id, fd;
    pid_t pid;
    char buf[1024];
    size_t len;
};
static struct job jobs[MAXJOBS];

static int read_value(int fd) {
    char c[4];
    if (pread(fd, c, sizeof c, 0) < 1) return -1;
    return c[0] - '0';
}

static void start_job(int id, const char *cmd) {
    int slot = -1;
    for (int i = 0; i < MAXJOBS; i++)
        if (jobs[i].pid == 0) slot = i;
    if (slot < 0) {
        say("rc %d 255", id);
        return;
    }
    int pfd[2];
    if (pipe(pfd)) {
        say("rc %d 255", id);
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pfd[1], 1);
        dup2(pfd[1], 2);
        close(pfd[0]);
        close(pfd[1]);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        execl("/bin/sh", "sh", "-c", cmd, (char *)NULL);
        _exit(127);
    }
    close(pfd[1]);
    fcntl(pfd[0], F_SETFL, O_NONBLOCK);
    jobs[slot] = (struct job){.id = id, .fd = pfd[0], .pid = pid, .len = 0};
}

static void job_output(struct job *j) {
    for (;;) {
        ssize_t r = read(j->fd, j->buf + j->len, sizeof j->buf - 1 - j->len);
        if (r <= 0) {
            if (r < 0 && errno == EAGAIN) return;
            if (j->len) {
                j->buf[j->len] = 0;
                say("out %d %s", j->id, j->buf);
            }
            close(j->fd);
            int st = 0;
            waitpid(j->pid, &st, 0);
            say("rc %d %d", j->id, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
            j->pid = 0;
            return;
        }
        j->len += r;
        char *nl;
        while ((nl = memchr(j->buf, '\n', j->len))) {
            *nl = 0;
            say("out %d %s", j->id, j->buf);
            size_t used = nl - j->buf + 1;
            memmove(j->buf, nl + 1, j->len - used);
            j->len -= used;
        }
        if (j->len == sizeof j->buf - 1) {
            j->buf[j->len] = 0;
            say("out %d %s", j->id, j->buf);
            j->len = 0;
        }
    }
}

static struct watch *find(int n) {
    for (int i = 0; i < NLINES; i++)
        if (w[i].n == n) return &w[i];
    return NULL;
}

static void command(char *c) {
    int n, v, id;
    char *sp;
    if (!strcmp(c, "ping")) {
        say("hello");
    } else if (sscanf(c, "pull %d %d", &n, &v) == 2) {
        say("pulled %d %d %d", n, v, set_pull(n, v));
    } else if (sscanf(c, "hold %d %d", &n, &v) == 2 && find(n)) {
        find(n)->held = v;
        set_pull(n, v);
        say("held %d %d", n, v);
    } else if (sscanf(c, "release %d", &n) == 1 && find(n)) {
        find(n)->held = -1;
        say("released %d", n);
    } else if (sscanf(c, "sh %d", &id) == 1 && (sp = strchr(c + 3, ' '))) {
        start_job(id, sp + 1);
    } else if (sscanf(c, "kill %d %d", &v, &n) == 2) {
        int r = kill(n, v);
        say("sig %d %d %d", n, v, r ? errno : 0);
    } else {
        say("what %s", c);
    }
}

static int run(const char *dev) {
    signal(SIGPIPE, SIG_IGN);
    tty = open(dev, O_RDWR | O_NOCTTY);
    if (tty < 0) die("open %s: %s", dev, strerror(errno));
    struct termios t;
    if (tcgetattr(tty, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(tty, TCSANOW, &t);
    }
    for (int i = 0; i < NLINES; i++) {
        char d[256], p[300];
        w[i] = (struct watch){.n = lines[i].n,
                              .fd = -1,
                              .value = -2,
                              .exported = -1,
                              .feedback = lines[i].feedback,
                              .held = -1};
        if (strcmp(lines[i].role, "out") || sim_dir(lines[i].n, d, sizeof d)) continue;
        snprintf(p, sizeof p, "%s/value", d);
        w[i].fd = open(p, O_RDONLY);
    }
    say("hello");
    char in[1024];
    size_t inlen = 0;
    long long next_export = 0;
    for (;;) {
        struct pollfd pf[1 + MAXJOBS];
        int np = 0;
        pf[np++] = (struct pollfd){.fd = tty, .events = POLLIN};
        for (int i = 0; i < MAXJOBS; i++)
            if (jobs[i].pid) pf[np++] = (struct pollfd){.fd = jobs[i].fd, .events = POLLIN};
        poll(pf, np, 4);
        if (pf[0].revents & POLLIN) {
            ssize_t r = read(tty, in + inlen, sizeof in - 1 - inlen);
            if (r > 0) {
                inlen += r;
                char *nl;
                while ((nl = memchr(in, '\n', inlen))) {
                    *nl = 0;
                    if (nl > in && nl[-1] == '\r') nl[-1] = 0;
                    if (*in) command(in);
                    size_t used = nl - in + 1;
                    memmove(in, nl + 1, inlen - used);
                    inlen -= used;
                }
                if (inlen == sizeof in - 1) inlen = 0;
            }
        }
        for (int i = 0; i < MAXJOBS; i++)
            if (jobs[i].pid) job_output(&jobs[i]);
        long long now = now_ms();
        for (int i = 0; i < NLINES; i++) {
            struct watch *x = &w[i];
            if (x->fd < 0) continue;
            int v = read_value(x->fd);
            if (v >= 0 && v != x->value) {
                x->value = v;
                say("gpio %d %d", x->n, v);
                if (x->feedback) x->due = now + 50;
            }
            if (x->due && now >= x->due) {
                x->due = 0;
                struct watch *f = find(x->feedback);
                int fv = f && f->held >= 0 ? f->held : x->value;
                set_pull(x->feedback, fv);
                say("fb %d %d", x->feedback, fv);
            }
        }
        if (now >= next_export) {
            next_export = now + 20;
            for (int i = 0; i < NLINES; i++) {
                char p[64];
                snprintf(p, sizeof p, "/sys/class/gpio/gpio%d", w[i].n);
                int e = access(p, F_OK) == 0;
                if (e != w[i].exported) {
                    w[i].exported = e;
                    say("exp %d %d", w[i].n, e);
                }
            }
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 2 && !strcmp(argv[1], "setup")) return setup();
    if (argc >= 3 && !strcmp(argv[1], "run")) return run(argv[2]);
    fprintf(stderr, "usage: vboard-agent setup | run DEVICE\n");
    return 2;
}
