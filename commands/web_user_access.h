// Whether the web server's user can read a file: each directory on the way
// must let it search (x), the file must let it read (r), by the classic
// owner/group/other bits (access control lists are not read). The records
// are plain values the caller fills from stat(); nothing here touches the
// file system but ReadAccessChain and FindUser.
#ifndef TAGSMITH_COMMANDS_WEB_USER_ACCESS_H_
#define TAGSMITH_COMMANDS_WEB_USER_ACCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tagsmith::host {

// The user the web server's workers run as on Debian.
inline constexpr char kWebServerUser[] = "www-data";

struct PathStep {
  std::string path;
  mode_t mode;  // st_mode: type and permission bits
  uid_t owner;
  gid_t group;
};

struct UserIdentity {
  std::string name;
  uid_t uid;
  std::vector<gid_t> groups;  // the primary group too
};

// What `user` lacks to read the last step through the ones before it (the
// directories from the root down): empty when nothing, else one sentence
// naming the permission and the path, e.g. "www-data has no search (x)
// permission on /srv/site (drwx------, owner 0, group 0)". uid 0 lacks
// nothing.
std::string MissingReadAccess(const std::vector<PathStep>& steps,
                              const UserIdentity& user);

// The steps for `file`: every directory of its absolute path from "/" down,
// then the file; none when one cannot be looked at.
std::optional<std::vector<PathStep>> ReadAccessChain(const std::string& file);

// The account named `name` with its groups; none when there is no such user.
std::optional<UserIdentity> FindUser(const char* name);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_WEB_USER_ACCESS_H_
