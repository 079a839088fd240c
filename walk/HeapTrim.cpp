#include "walk/HeapTrim.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

THeapTrim::~THeapTrim() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}
