// The share modes CFile imitates on POSIX, as seen from the kernel calls.
// Internal to platform/; implemented in file_posix.cpp.
#ifndef ZODARURUVIZI_PLATFORM_FILE_SHARING_POSIX_H
#define ZODARURUVIZI_PLATFORM_FILE_SHARING_POSIX_H

namespace file_sharing {

// 1 when an open CFile of this or another process, opened without
// shareAllowDelete, holds the regular file at path; 0 when none does or path
// is no regular file. Such a file can be neither renamed nor replaced.
int HeldOpen(const char* path);

}  // namespace file_sharing

#endif
