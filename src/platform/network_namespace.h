#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caskel {

// Set to "1" to keep the program in the host's network (tests show the self-check failing so).
inline constexpr const char* kNoNamespaceVariable = "CASKEL_NO_NETNS";

// Why a desktop program must stay in the host's network namespace, or "" when nothing stands
// in the way: a namespace of its own would cut it off from a display reached over TCP, from an
// X server it reaches only by its abstract socket (those are per network namespace; the socket
// file under /tmp/.X11-unix is not), or from a session bus at an abstract or TCP address.
std::string sessionObstacle(std::string_view display, std::string_view busAddress,
                            const std::function<bool(const std::string&)>& fileExists);

// sessionObstacle for this process's DISPLAY and DBUS_SESSION_BUS_ADDRESS, a display reached
// over TCP left out: the seccomp filter closes it to caskeld's pinentry in any case, and
// caskel-app, which must reach it, stays out of the namespace and goes without the filter too.
std::string environmentObstacle();

// Moves this process into a user and a network namespace of its own, with its user and group
// mapped to themselves, so that the kernel gives it no network device but loopback. Must run
// before the process starts any thread. A helper process stays behind in the host's namespaces
// to read the /proc entries of callers that the kernel closes to a process in a child user
// namespace (see readOutside). Where it cannot (the system forbids user namespaces, `obstacle`
// is not empty, or kNoNamespaceVariable is set), the process stays where it is and one line
// starting "Caskel: " on standard output says why. A process that already sees only loopback (a
// service manager's private network) stays as it is. Returns whether it is without network devices.
bool enterNetworkNamespace(const std::string& obstacle = {});

// What the helper outside reads for a process in the namespace.
enum class OutsideRead : uint8_t { executable = 1, directory = 2, environment = 3 };

// Asks the helper left outside: nothing when this process never entered a namespace (the
// caller then reads /proc itself), else the answer (itself nothing when the read failed).
// For `environment`, `names` are the variables asked about and the answer lists those present,
// separated by NUL characters. Safe from any thread.
std::optional<std::optional<std::string>> readOutside(OutsideRead what, int32_t pid,
                                                      const std::vector<std::string>& names = {});

// Starts `program` (no arguments, this process's environment as it was at start) from the helper
// outside, with `stdio` as its standard input and output and standard error on the null device.
// A program started inside would belong to the namespace, where every process of the user
// outside holds CAP_SYS_PTRACE and so passes Yama's ptrace restrictions; pinentry, which holds
// the passphrase, must not. Nothing when this process has no helper (it starts the program
// itself); else a pidfd of the child (which the helper reaps), or -1 with `error` set.
std::optional<int> spawnOutside(const std::string& program, int stdio, std::string& error);

}  // namespace caskel
