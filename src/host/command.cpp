// The command interpreter and the owners of files.
//
// Commands: /bin/sh -c LINE, waited for; standard output is flushed first so that the
// command's output comes after ours, and the command shares our standard input and output.
// shell_quote wraps a value in single quotes, so that nothing in it (blanks, quotes, $, `,
// ;, newlines) is seen by the shell: values from clients or files go through it before they
// are put into a command line.
//
// Owner name: the account name of the owning user id of the file itself (a symbolic link is
// not followed), at most kMaxAccountName characters; anything else is "Unknown".
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "host/internal.h"

extern char** environ;

namespace host {

std::string shell_quote(std::string_view value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

int run_command(std::string_view line, int& status) {
  status = -1;
  std::string text(line);
  std::vector<std::string> args = {"/bin/sh", "-c", text};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return nt_error(rc);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return nt_error(errno);
  }
  status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  return 0;
}

int file_owner_name(std::string_view path, std::string& name) {
  name = "Unknown";
  detail::HostPath hp;
  if (int r = detail::resolve(path, hp)) return r;
  if (hp.blocked) return kErrPathNotFound;
  struct stat st {};
  if (lstat(hp.path.c_str(), &st) != 0) return detail::path_error(errno, hp.path);
  std::string account = account_name(uint32_t(st.st_uid));
  if (account.empty()) return kErrNoneMapped;
  if (account.size() > kMaxAccountName) return kErrNoneMapped;
  name = account;
  return 0;
}

}  // namespace host
