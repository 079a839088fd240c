#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// Root passes every permission check, so a test that needs a file it cannot
// read or a folder it cannot write first gives up, for its own thread and for
// as long as this object lives, the capabilities that override file modes.
// Whether the modes then hold, a probe of the test's own tells.
class TNoPermissionOverride {
public:
  TNoPermissionOverride() {
    if (::geteuid() != 0 || ::syscall(SYS_capget, &FHeader, FSaved) != 0)
      return;
    __user_cap_data_struct lowered[2] = {FSaved[0], FSaved[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
    FLowered = ::syscall(SYS_capset, &FHeader, lowered) == 0;
  }
  ~TNoPermissionOverride() {
    if (FLowered)
      ::syscall(SYS_capset, &FHeader, FSaved);
  }
  TNoPermissionOverride(const TNoPermissionOverride&) = delete;
  TNoPermissionOverride& operator=(const TNoPermissionOverride&) = delete;

private:
  __user_cap_header_struct FHeader{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct FSaved[2]{};
  bool FLowered = false;
};
