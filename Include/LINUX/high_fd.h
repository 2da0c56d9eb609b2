// Descriptors kept out of the way of a program's own descriptor handling.
//
// A program may close its low descriptors (0 to 255) right after start;
// descriptors that must survive that, such as the trace files, are moved
// to kFirstHighFd or above. The moved descriptor is close-on-exec, so no
// child program inherits it.

#ifndef INCLUDE_LINUX_HIGH_FD_H_
#define INCLUDE_LINUX_HIGH_FD_H_

const int kFirstHighFd = 256;

// Duplicates `fd` to the lowest free descriptor >= kFirstHighFd with
// close-on-exec set, closes `fd` and returns the duplicate. On failure
// (e.g. the descriptor limit is 256 or lower) closes `fd` as well and
// returns -1 with errno set: a descriptor that would be closed behind the
// owner's back is never handed out.
int MoveFdHigh(int fd);

#endif  // INCLUDE_LINUX_HIGH_FD_H_
