#pragma once

// Gives the heap's free memory back to the system when it goes: a base
// that a session names first, so that it goes after every part of the
// session, whose buffers a walk of 8 connections leaves the allocator
// holding by the hundred MB otherwise.
class THeapTrim {
protected:
  THeapTrim() = default;
  ~THeapTrim();
  THeapTrim(const THeapTrim&) = delete;
  THeapTrim& operator=(const THeapTrim&) = delete;
};
