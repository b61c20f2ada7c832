#include "helpers/run_cmd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char **environ;

void run_cmd_apply_env(const std::vector<std::string> &env)
{
  for (const auto &e : env) {
    size_t eq = e.find('=');
    if (eq == std::string::npos)
      unsetenv(e.c_str());
    else
      setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
  }
}

run_result run_cmd(const std::string &path, const std::vector<std::string> &args,
                   const std::vector<std::string> &env, int timeout_s)
{
  return run_cmd_as(0, path, args, env, timeout_s);
}

run_result run_cmd_as(unsigned uid, const std::string &path, const std::vector<std::string> &args,
                      const std::vector<std::string> &env, int timeout_s)
{
  run_result r;
  int outp[2], errp[2];
  if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0)
    return r;
  pid_t pid = fork();
  if (pid < 0)
    return r;
  if (pid == 0) {
    run_cmd_apply_env(env);
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
      _exit(126);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execve(path.c_str(), argv.data(), environ);
    _exit(127);
  }
  close(outp[1]);
  close(errp[1]);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  struct pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  while (open_fds > 0) {
    int n = poll(fds, 2, 200);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!killed && now.tv_sec - start.tv_sec >= timeout_s) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (n <= 0)
      continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}
