#pragma once
/* Runs a program to its end and collects what it printed. */
#include <string>
#include <vector>

struct run_result {
  int status = -1;     /* exit status, or 128 + signal number */
  std::string out;     /* standard output */
  std::string err;     /* standard error */
};

/* Applies env entries to this process: "NAME=value" sets NAME, "NAME" alone removes it. For a
 * child between fork and exec. */
void run_cmd_apply_env(const std::vector<std::string> &env);

/* Runs path with args (argv[1..]); env entries "NAME=value" are added to the environment,
 * "NAME" alone removes NAME. Standard input is /dev/null. The child is killed after
 * timeout_s seconds (status 128 + SIGKILL). */
run_result run_cmd(const std::string &path, const std::vector<std::string> &args,
                   const std::vector<std::string> &env = {}, int timeout_s = 60);
/* The same, run as user (and group) uid when uid is not 0; needs root. */
run_result run_cmd_as(unsigned uid, const std::string &path, const std::vector<std::string> &args,
                      const std::vector<std::string> &env = {}, int timeout_s = 60);
