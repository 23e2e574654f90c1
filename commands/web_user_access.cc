// See web_user_access.h.
#include "commands/web_user_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace tagsmith::host {

namespace {

// "drwxr-x---": the type letter and the nine permission bits.
std::string ModeText(mode_t mode) {
  std::string text = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
  const char letters[] = "rwx";
  for (int shift = 8; shift >= 0; --shift)
    text += (mode & (1u << shift)) ? letters[(8 - shift) % 3] : '-';
  return text;
}

// The bits of `mode` that apply to `user`: the owner's, else the group's,
// else the others' (the first class that matches decides, as the kernel
// does), shifted down to r=4, w=2, x=1.
unsigned ClassBits(const PathStep& step, const UserIdentity& user) {
  if (user.uid == step.owner) return (step.mode >> 6) & 7u;
  if (std::find(user.groups.begin(), user.groups.end(), step.group) !=
      user.groups.end())
    return (step.mode >> 3) & 7u;
  return step.mode & 7u;
}

}  // namespace

std::string MissingReadAccess(const std::vector<PathStep>& steps,
                              const UserIdentity& user) {
  if (user.uid == 0) return "";
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool last = i + 1 == steps.size();
    const unsigned want = last ? 4u : 1u;
    if ((ClassBits(steps[i], user) & want) != 0) continue;
    return user.name + " has no " +
           (last ? "read (r) permission on " : "search (x) permission on ") +
           steps[i].path + " (" + ModeText(steps[i].mode) + ", owner " +
           std::to_string(steps[i].owner) + ", group " +
           std::to_string(steps[i].group) + ")";
  }
  return "";
}

std::optional<std::vector<PathStep>> ReadAccessChain(const std::string& file) {
  std::error_code error;
  const std::filesystem::path absolute =
      std::filesystem::absolute(file, error).lexically_normal();
  if (error) return std::nullopt;
  std::vector<PathStep> steps;
  std::filesystem::path walked;
  for (const std::filesystem::path& part : absolute) {
    walked /= part;
    struct stat st;
    if (::stat(walked.c_str(), &st) != 0) return std::nullopt;
    steps.push_back({walked.string(), st.st_mode, st.st_uid, st.st_gid});
  }
  return steps;
}

std::optional<UserIdentity> FindUser(const char* name) {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return std::nullopt;
  UserIdentity user{name, entry.pw_uid, {}};
  int count = 64;
  std::vector<gid_t> groups(count);
  if (getgrouplist(name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(count);
    if (getgrouplist(name, entry.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(count);
  if (groups.empty()) groups.push_back(entry.pw_gid);
  user.groups = groups;
  return user;
}

}  // namespace tagsmith::host
