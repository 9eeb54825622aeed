#include "runtime/thread_name.h"

#include <pthread.h>

namespace runtime {

void NameThisThread(const std::string& name) {
  // The kernel keeps 16 bytes with the terminating zero.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace runtime
