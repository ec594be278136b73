/* Preloaded into the QuakeSpasm server, which on Linux always binds its sockets to every interface:
 * an IPv4 bind to the wildcard address goes to the loopback address instead, so the rig's servers
 * are never reachable from outside the machine. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

typedef int BindFunction(int, const struct sockaddr *, socklen_t);

int bind(int fd, const struct sockaddr *address, socklen_t length)
{
    static BindFunction *systemBind;
    struct sockaddr_in loopback;

    if (!systemBind)
        systemBind = (BindFunction *)dlsym(RTLD_NEXT, "bind");
    if (!address || address->sa_family != AF_INET || length < sizeof loopback)
        return systemBind(fd, address, length);
    memcpy(&loopback, address, sizeof loopback);
    if (loopback.sin_addr.s_addr != htonl(INADDR_ANY))
        return systemBind(fd, address, length);
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return systemBind(fd, (const struct sockaddr *)&loopback, sizeof loopback);
}
