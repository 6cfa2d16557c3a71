// The settings sheet's rules that need no window: the photo-interval
// choices, the local sign-in checks, the photo count that decides whether
// the wizard asks for folders, folder display names and network folders.
// Any thread may call these unless a function says otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quol::wizard {

struct IntervalChoice {
  const char* label;
  int seconds;
};
// The choices of list 1015, in list order.
const std::vector<IntervalChoice>& IntervalChoices();
// The first choice whose seconds are at least `current_seconds`; the first
// choice when none is large enough.
int SelectIntervalIndex(int current_seconds);

// Sign-in check results kept by the sign-in page.
enum SignInResult : int {
  kSignInAccepted = 0,
  kSignInRejected = 1,  // refused by the service, or malformed input
  kSignInError = 2,     // network or server trouble: does not block the user
  kSignInNotChecked = 3,
};

// What the page decides before asking anybody: kSignInNotChecked when both
// fields are empty, kSignInRejected when the address or password cannot be
// right, nullopt when the service has to be asked. The address is taken as
// typed; trim it first.
std::optional<int> LocalSignInVerdict(std::string_view address, std::string_view password);

// The photo files the screen saver shows (.jpg, .jpeg, .png, .heic, .heif,
// .avif, .webp in any case), never hidden ones. A copy of the saver's own rule: the sheet is also part
// of the desktop client, which does not contain the screen saver.
bool IsPhotoFileName(std::string_view name);

struct PhotoCountLimits {
  int enough = 50;          // counting stops here
  int max_depth = 16;       // folders below the starting one
  int max_entries = 20000;  // directory entries looked at, over all folders
};
// Photos in `folders` and their sub-folders (except those whose names start
// with "."), stopping at `limits.enough`. Links to folders are not followed,
// so a loop costs nothing; the bounds keep a huge tree from taking long.
// Blocks on the file system: run it off the window thread when the folders
// might sit on a network mount (CountPhotosBounded).
int CountPhotos(const std::vector<std::string>& folders, const PhotoCountLimits& limits = {});

// Runs `task` on a worker thread and waits at most `timeout` for it. The
// worker only touches what `task` owns; when time runs out it is left to
// finish on its own and nullopt is returned. Used for calls that a dead
// network mount can hold for minutes (statfs, opendir).
std::optional<int> RunBounded(std::function<int()> task, std::chrono::milliseconds timeout);

// CountPhotos on a worker, bounded by `timeout`; nullopt when it did not end.
std::optional<int> CountPhotosBounded(const std::vector<std::string>& folders,
                                      std::chrono::milliseconds timeout,
                                      const PhotoCountLimits& limits = {});

// The name a folder is shown by: desktop.ini's LocalizedResourceName (in
// ".ShellClassInfo", at most 256 characters) when it is a plain word or
// phrase, not a resource reference ("@..."); else the folder's own name (its
// last path component); else `fallback`. Linux has no resource strings to
// look a reference up in, so a reference falls through to the folder's name.
std::string LocalizedFolderName(const std::string& folder, const std::string& fallback);

// Whether `list` already holds `folder`, compared without case (Unicode
// case folding) and ignoring one trailing "/".
bool FolderListed(const std::vector<std::string>& list, const std::string& folder);

// Whether a file system (statfs f_type, and for FUSE the mount's type name
// from mountinfo, e.g. "fuse.sshfs") lives on another machine.
bool IsNetworkFileSystem(std::int64_t statfs_type, std::string_view fuse_type);
// The same for a folder, asked with statfs on a worker thread and bounded by
// `timeout`; a folder whose answer does not come in time counts as a network
// folder (a hung mount is a network mount as far as the user can tell). A
// folder that does not exist is not a network folder.
bool IsNetworkFolder(const std::string& folder, std::chrono::milliseconds timeout);
// Whether any of `folders` is a network folder, all asked on one worker
// within one `timeout` (no answer in time: yes).
bool AnyNetworkFolder(const std::vector<std::string>& folders, std::chrono::milliseconds timeout);

}  // namespace quol::wizard
