#include "platform/guarded_section.h"

void GuardedSection::enter() {
  mutex_.lock();
  --available_;
  check();
}

void GuardedSection::leave() {
  ++available_;
  check();
  mutex_.unlock();
}

void GuardedSection::check() const {
  if (available_ < 0 || available_ > 1) error_.fatal("Error in a CriticalSection object", 1);
}
