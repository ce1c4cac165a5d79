/* The floor of "kiv-recovery-tool -a bootlist": the least work any implementation of the same
 * contract has to do on this machine. It starts the same programs with the same arguments in the
 * same order (lsblk for the root check, cat /etc/fstab, uname -r, lsblk once per device), reads
 * the same files (/etc/fstab, the configuration file, the mount table once per device, every
 * snapshot description), lists the same folders in the same order, and writes a boot list of the
 * same shape. It does no more: no Qt, no JSON parser, no text re-encoding, fixed-size buffers.
 *
 *   cc -O2 -o floor floor.c && ./floor
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

enum { MaxDevices = 64, MaxDescription = 1024 * 1024 };

struct buf {
    char *data;
    size_t len, cap;
};

static void put(struct buf *b, const char *s, size_t n)
{
    if (b->len + n + 1 > b->cap) {
        b->cap = (b->len + n + 1) * 2;
        b->data = realloc(b->data, b->cap);
        if (!b->data)
            abort();
    }
    memcpy(b->data + b->len, s, n);
    b->len += n;
    b->data[b->len] = '\0';
}

/* Runs argv[0] found on PATH, standard input empty, and collects standard output. Standard
 * error is read too, on its own pipe, as the tool's runner does. Answers the exit status. */
static int run(char *const argv[], struct buf *out)
{
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) || pipe2(e, O_CLOEXEC))
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, o[1], 1);
    posix_spawn_file_actions_adddup2(&fa, e[1], 2);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(o[1]);
    close(e[1]);
    if (rc) {
        close(o[0]);
        close(e[0]);
        return -1;
    }
    struct buf err = {0};
    struct pollfd p[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
    int open_fds = 2;
    char chunk[16384];
    while (open_fds > 0) {
        if (poll(p, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !p[i].revents)
                continue;
            ssize_t n = read(p[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                put(i == 0 ? out : &err, chunk, (size_t)n);
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                --open_fds;
            }
        }
    }
    free(err.data);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static int read_file(const char *path, struct buf *b)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) || !S_ISREG(st.st_mode) || st.st_size > MaxDescription) {
        close(fd);
        return -1;
    }
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        put(b, chunk, (size_t)n);
    close(fd);
    return 0;
}

static char *trim(char *s)
{
    while (*s == ' ' || *s == '\t')
        ++s;
    char *end = s + strlen(s);
    while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        *--end = '\0';
    return s;
}

/* The second whitespace separated field of a line, copied into field. */
static int second_field(const char *line, char *field, size_t size)
{
    const char *p = line + strcspn(line, " \t");
    p += strspn(p, " \t");
    size_t n = strcspn(p, " \t");
    if (!n || n >= size)
        return 0;
    memcpy(field, p, n);
    field[n] = '\0';
    return 1;
}

static int root_is_mounted(void)
{
    char *lsblk[] = {"lsblk", "--output", "MOUNTPOINT,UUID", NULL};
    struct buf listing = {0}, fstab = {0};
    int mounted = 0;
    char uuid[256] = "";
    if (run(lsblk, &listing) != 0 || !listing.data)
        goto done;
    for (char *save, *line = strtok_r(listing.data, "\n", &save); line;
         line = strtok_r(NULL, "\n", &save)) {
        line = trim(line);
        if (line[0] == '/' && line[1] == ' ') {
            snprintf(uuid, sizeof uuid, "%s", trim(line + 1));
            break;
        }
    }
    if (!uuid[0])
        goto done;
    char *cat[] = {"cat", "/etc/fstab", NULL};
    if (run(cat, &fstab) != 0 || !fstab.data)
        goto done;
    for (char *save, *line = strtok_r(fstab.data, "\n", &save); line;
         line = strtok_r(NULL, "\n", &save)) {
        if (!strstr(line, uuid))
            continue;
        line = trim(line);
        if (line[0] == '#')
            continue;
        char field[256];
        mounted = second_field(line, field, sizeof field) && !strcmp(field, "/");
        break;
    }
done:
    free(listing.data);
    free(fstab.data);
    return mounted;
}

static int separate_boot(void)
{
    struct buf fstab = {0};
    int found = 0;
    if (read_file("/etc/fstab", &fstab) == 0 && fstab.data) {
        for (char *save, *line = strtok_r(fstab.data, "\n", &save); line;
             line = strtok_r(NULL, "\n", &save)) {
            char field[256];
            line = trim(line);
            if (!strncmp(line, "UUID=", 5) && second_field(line, field, sizeof field)
                && !strcmp(field, "/boot"))
                found = 1;
        }
    }
    free(fstab.data);
    return found;
}

/* The [backup] keys of the configuration file: history first, current device last, each once. */
static int backup_uuids(const char *path, char uuids[][128])
{
    struct buf ini = {0};
    char device[128] = "", history[4096] = "";
    int n = 0, in_group = 0;
    if (read_file(path, &ini) == 0 && ini.data) {
        for (char *save, *line = strtok_r(ini.data, "\n", &save); line;
             line = strtok_r(NULL, "\n", &save)) {
            line = trim(line);
            if (line[0] == '[')
                in_group = !strcmp(line, "[backup]");
            else if (in_group && !strncmp(line, "device_uuid=", 12))
                snprintf(device, sizeof device, "%s", line + 12);
            else if (in_group && !strncmp(line, "history_device_uuid=", 20))
                snprintf(history, sizeof history, "%s", line + 20);
        }
        /* A quoted value is one text; its commas separate the UUIDs. */
        size_t len = strlen(history);
        if (len >= 2 && history[0] == '"' && history[len - 1] == '"') {
            memmove(history, history + 1, len - 2);
            history[len - 2] = '\0';
        }
    }
    free(ini.data);
    strcat(history, ",");
    strncat(history, device, sizeof history - strlen(history) - 1);
    for (char *save, *u = strtok_r(history, ",", &save); u && n < MaxDevices;
         u = strtok_r(NULL, ",", &save)) {
        int seen = 0;
        for (int i = 0; i < n; ++i)
            seen |= !strcmp(uuids[i], u);
        if (!seen)
            snprintf(uuids[n++], 128, "%s", u);
    }
    return n;
}

static int mount_point(const char *uuid, char *dir, size_t size)
{
    char *lsblk[] = {"lsblk", "--output", "UUID,PATH", NULL};
    struct buf listing = {0}, mounts = {0};
    char device[256] = "";
    int found = 0;
    if (run(lsblk, &listing) != 0 || !listing.data)
        goto done;
    for (char *save, *line = strtok_r(listing.data, "\n", &save); line;
         line = strtok_r(NULL, "\n", &save)) {
        line = trim(line);
        size_t col = strcspn(line, " \t");
        if (col != strlen(uuid) || strncmp(line, uuid, col))
            continue;
        char *slash = strchr(line, '/');
        snprintf(device, sizeof device, "%s", slash ? slash : line);
        break;
    }
    if (!device[0] || read_file("/proc/self/mountinfo", &mounts) || !mounts.data)
        goto done;
    /* mountinfo: id parent major:minor root mountpoint options... - fstype source options */
    for (char *save, *line = strtok_r(mounts.data, "\n", &save); line && !found;
         line = strtok_r(NULL, "\n", &save)) {
        char *dash = strstr(line, " - ");
        char target[4096], source[256];
        if (!dash || sscanf(line, "%*s %*s %*s %*s %4095s", target) != 1
            || sscanf(dash + 3, "%*s %255s", source) != 1)
            continue;
        if (!strcmp(source, device)) {
            snprintf(dir, size, "%s", target);
            found = 1;
        }
    }
done:
    free(listing.data);
    free(mounts.data);
    return found;
}

static int by_name(const void *a, const void *b)
{
    return strcasecmp(*(char *const *)a, *(char *const *)b);
}

/* The text of a string member, raw, or NULL. Enough for descriptions this benchmark writes. */
static const char *member(const char *json, const char *key, size_t *len)
{
    const char *p = strstr(json, key);
    if (!p)
        return NULL;
    p += strlen(key);
    p += strspn(p, " \t\n:");
    if (*p != '"') {
        *len = strspn(p, "0123456789.");
        return p;
    }
    ++p;
    *len = strcspn(p, "\"");
    return p;
}

static void add_field(struct buf *out, const char *name, const char *value, size_t len, int last)
{
    put(out, "\"", 1);
    put(out, name, strlen(name));
    put(out, "\":\"", 3);
    put(out, value, len);
    put(out, last ? "\"" : "\",", last ? 1 : 2);
}

static void walk(const char *dir, const char *kernel, const char *initrd, struct buf *out,
                 int *count)
{
    char path[8192];
    snprintf(path, sizeof path, "%s/backup/system/snapshots/", dir);
    DIR *d = opendir(path);
    if (!d)
        return;
    size_t n = 0, cap = 256;
    char **names = malloc(cap * sizeof *names);
    for (struct dirent *e; (e = readdir(d));) {
        if (e->d_name[0] == '.' || e->d_type != DT_DIR)
            continue;
        if (n == cap)
            names = realloc(names, (cap *= 2) * sizeof *names);
        names[n++] = strdup(e->d_name);
    }
    closedir(d);
    qsort(names, n, sizeof *names, by_name);
    struct buf desc = {0};
    for (size_t i = 0; i < n; ++i) {
        char file[16384];
        snprintf(file, sizeof file, "%s%s/backup_info.json", path, names[i]);
        free(names[i]);
        desc.len = 0;
        if (read_file(file, &desc) || !desc.data)
            continue;
        size_t sl, vl = 0, dl = 0, ul = 0;
        const char *status = member(desc.data, "\"status\"", &sl);
        if (!status || sl != 1 || *status != '1')
            continue;
        const char *version = member(desc.data, "\"backupVersion\"", &vl);
        const char *display = member(desc.data, "\"versionDisplay\"", &dl);
        const char *uuid = member(desc.data, "\"backupDevUUID\"", &ul);
        put(out, *count ? ",{" : "{", *count ? 2 : 1);
        ++*count;
        add_field(out, "display", display ? display : "", dl, 0);
        add_field(out, "initrd", initrd, strlen(initrd), 0);
        add_field(out, "kernel", kernel, strlen(kernel), 0);
        add_field(out, "scheme", "recovery", 8, 0);
        add_field(out, "uuid", uuid ? uuid : "", ul, 0);
        add_field(out, "version", version ? version : "", vl, 1);
        put(out, "}", 1);
    }
    free(desc.data);
    free(names);
}

int main(void)
{
    const char *root = root_is_mounted() ? "/" : "/root/";
    char ini[256], uuids[MaxDevices][128];
    snprintf(ini, sizeof ini, "%setc/kiv-recovery/kiv-recovery.ini", root);
    int devices = backup_uuids(ini, uuids);

    struct buf out = {0};
    put(&out, "{\"version_list\":[", 17);
    if (devices > 0) {
        int boot = separate_boot();
        char *uname[] = {"uname", "-r", NULL};
        struct buf release = {0};
        char kernel[512] = "", initrd[512] = "";
        if (run(uname, &release) == 0 && release.data) {
            release.data[strcspn(release.data, "\n")] = '\0';
            snprintf(kernel, sizeof kernel, "%s%s", boot ? "/vmlinuz-" : "/boot/vmlinuz-",
                     release.data);
            snprintf(initrd, sizeof initrd, "%s%s", boot ? "/initrd.img-" : "/boot/initrd.img-",
                     release.data);
        }
        free(release.data);
        int count = 0;
        for (int i = 0; i < devices; ++i) {
            char dir[4096];
            if (mount_point(uuids[i], dir, sizeof dir))
                walk(dir, kernel, initrd, &out, &count);
        }
    }
    put(&out, "]}\n", 3);
    fwrite(out.data, 1, out.len, stdout);
    free(out.data);
    return fflush(stdout) ? 1 : 0;
}
