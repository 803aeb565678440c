// A breach of the rule that only util/outside.cpp reaches the outside world:
// the check must name this file's kill().
#include <csignal>

int send_directly(pid_t pid)
{
    return kill(pid, SIGTERM);
}
