// The progress callback the pak library calls during an archive rewrite.
#pragma once

#include "runtime/types.h"

class IPackEventHandle {
  public:
    virtual void OnProgress(u32 done, u32 total) = 0;

  protected:
    ~IPackEventHandle() = default;
};
