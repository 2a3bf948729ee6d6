// Ends through std::terminate, as a launcher does when an exception escapes a noexcept function.
// Linked with the launcher's own terminate handler, it must end at once with -1, the launcher's
// code for its own failure.
#include <exception>

int wmain() {
    std::terminate();
}
