/* A stand-in for pkexec that does what pkexec does once an administrator has said yes, for the
 * package test, where no authentication agent can answer. Installed setuid root in pkexec's
 * place (a bind mount inside a private mount namespace).
 *
 *   pkexec PROGRAM [ARGUMENT...]
 *
 * PROGRAM must be an absolute path that an installed polkit action names in its
 * org.freedesktop.policykit.exec.path annotation (/usr/share/polkit-1/actions/\*.policy);
 * anything else ends with status 127, as a refused authorisation does. Then, as pkexec: the
 * process becomes root (user, group and supplementary groups), PKEXEC_UID is the caller's
 * real uid, the environment is a small fixed one (PATH a safe value, HOME, USER, LOGNAME and
 * SHELL root's, LANG, LANGUAGE, LC_ALL and TERM kept when set), every descriptor but 0, 1 and 2
 * is closed, the working directory is root's home, and PROGRAM is executed.
 *
 * Every request is appended to the log file named at build time (-DSTANDIN_LOG="PATH") as
 * "uid=UID program=PROGRAM verdict=run|refused". */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef STANDIN_LOG
#error "build with -DSTANDIN_LOG=\"PATH\""
#endif

#define ACTIONS_DIR "/usr/share/polkit-1/actions"
#define EXEC_PATH_KEY "\"org.freedesktop.policykit.exec.path\""
#define SAFE_PATH "/usr/sbin:/usr/bin:/sbin:/bin"

static void Log(uid_t uid, const char* program, const char* verdict) {
    FILE* f = fopen(STANDIN_LOG, "ae");
    if (!f)
        return;
    fprintf(f, "uid=%u program=%s verdict=%s\n", (unsigned)uid, program, verdict);
    fclose(f);
}

/* Whether one policy file's text names `program` as an exec.path. */
static int TextNames(const char* text, const char* program) {
    for (const char* p = strstr(text, EXEC_PATH_KEY); p; p = strstr(p + 1, EXEC_PATH_KEY)) {
        const char* start = strchr(p, '>');
        if (!start)
            return 0;
        ++start;
        const char* end = strchr(start, '<');
        if (!end)
            return 0;
        while (start < end && strchr(" \t\r\n", *start))
            ++start;
        while (end > start && strchr(" \t\r\n", end[-1]))
            --end;
        if ((size_t)(end - start) == strlen(program) &&
            strncmp(start, program, (size_t)(end - start)) == 0)
            return 1;
    }
    return 0;
}

/* Whether an installed action lets pkexec start `program`. */
static int ActionNames(const char* program) {
    DIR* dir = opendir(ACTIONS_DIR);
    if (!dir)
        return 0;
    int found = 0;
    struct dirent* e;
    while (!found && (e = readdir(dir)) != NULL) {
        const size_t n = strlen(e->d_name);
        if (n < 8 || strcmp(e->d_name + n - 7, ".policy") != 0)
            continue;
        const int fd = openat(dirfd(dir), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
            char* text = calloc(1, (size_t)st.st_size + 1);
            if (text && read(fd, text, (size_t)st.st_size) == st.st_size)
                found = TextNames(text, program);
            free(text);
        }
        close(fd);
    }
    closedir(dir);
    return found;
}

int main(int argc, char** argv) {
    const uid_t caller = getuid();
    if (geteuid() != 0) {
        fprintf(stderr, "pkexec: must be setuid root\n");
        return 127;
    }
    if (argc < 2) {
        fprintf(stderr, "pkexec: no program given\n");
        return 127;
    }
    const char* program = argv[1];
    if (program[0] != '/' || !ActionNames(program)) {
        Log(caller, program, "refused");
        fprintf(stderr, "pkexec: no action lets %s run as root\n", program);
        return 127;
    }
    Log(caller, program, "run");

    const struct passwd* root = getpwuid(0);
    const char* home = root && root->pw_dir ? strdup(root->pw_dir) : "/";
    const char* shell = root && root->pw_shell ? strdup(root->pw_shell) : "/bin/sh";
    if (setgroups(0, NULL) != 0 || setgid(0) != 0 || setuid(0) != 0) {
        fprintf(stderr, "pkexec: cannot become root: %s\n", strerror(errno));
        return 127;
    }

    static const char* const kept[] = {"LANG", "LANGUAGE", "LC_ALL", "TERM"};
    enum { kKept = sizeof kept / sizeof kept[0] };
    char* keptValues[kKept];
    for (int i = 0; i < kKept; ++i) {
        const char* v = getenv(kept[i]);
        keptValues[i] = v && strlen(v) < 4096 ? strdup(v) : NULL;
    }
    if (clearenv() != 0)
        return 127;
    char uidText[32];
    snprintf(uidText, sizeof uidText, "%u", (unsigned)caller);
    setenv("PATH", SAFE_PATH, 1);
    setenv("HOME", home, 1);
    setenv("USER", "root", 1);
    setenv("LOGNAME", "root", 1);
    setenv("SHELL", shell, 1);
    setenv("PKEXEC_UID", uidText, 1);
    for (int i = 0; i < kKept; ++i)
        if (keptValues[i])
            setenv(kept[i], keptValues[i], 1);

    /* Every descriptor but the standard three. */
    if (close_range(3, ~0U, 0) != 0)
        for (int fd = 3; fd < 65536; ++fd)
            close(fd);
    if (chdir(home) != 0 && chdir("/") != 0)
        return 127;
    execv(program, argv + 1);
    fprintf(stderr, "pkexec: cannot run %s: %s\n", program, strerror(errno));
    return 127;
}
