// The scenario fixture's plumbing: start-up, clients, the fake server and decoding.
#include "scenario/harness.h"

namespace wire {

std::vector<std::string> prints(const Datagram& d) {
    std::vector<std::string> texts;
    if (d.bytes.size() < 9 || d.bytes[1] != 0x10) return texts;
    for (size_t p = 8; p < d.bytes.size() && d.bytes[p] == 8;) {
        size_t end = p + 1;
        while (end < d.bytes.size() && d.bytes[end] != 0) ++end;
        std::string text(d.bytes.begin() + long(p + 1), d.bytes.begin() + long(end));
        texts.push_back(!text.empty() && text[0] == 2 ? text.substr(1) : text);
        p = end + 1;
    }
    return texts;
}

std::string allPrints(const std::vector<Datagram>& sent) {
    std::string all;
    for (const Datagram& d : sent)
        for (const std::string& t : prints(d)) all += t;
    return all;
}

}  // namespace wire

void ProxyScenario::SetUp() {
    fakeplatform::reset();
    resetProxyState();
}

void ProxyScenario::TearDown() {
    resetProxyState();
    fakeplatform::reset();
}

int ProxyScenario::startExitCode(const std::vector<std::string>& options) {
    argStore = options;
    argStore.insert(argStore.begin(), "skoposproxy");
    std::vector<const char*> argv;
    for (const std::string& a : argStore) argv.push_back(a.c_str());
    return startUp(int(argv.size()), argv.data());
}

void ProxyScenario::start(const std::vector<std::string>& options) { ASSERT_EQ(startExitCode(options), -1) << console(); }

void ProxyScenario::step(int passes) {
    for (int i = 0; i < passes; ++i) runLoopPass();
}

uint16_t ProxyScenario::connectClient(const NetAddress& client) {
    EXPECT_TRUE(fakeplatform::inject(listenAddress(), client, wire::connectRequest()));
    step();
    uint16_t port = 0;
    for (const Datagram& d : sent())
        if (d.to == client && d.bytes.size() == 9 && d.bytes[0] == 0x80 && d.bytes[4] == 0x81)
            port = uint16_t(d.bytes[5] | d.bytes[6] << 8);
    return port;
}

NetAddress ProxyScenario::admitHost() {
    uint16_t port = connectClient(host);
    EXPECT_NE(port, 0);
    return hostSocket = fakeplatform::loopback(port);
}

void ProxyScenario::fromClient(const NetAddress& client, const NetAddress& proxySocket, const Bytes& bytes) {
    EXPECT_TRUE(fakeplatform::inject(proxySocket, client, bytes));
    step();
}

NetAddress ProxyScenario::proxyServerSide() const {
    NetAddress bound = fakeplatform::boundAddress(slotTable.serverSocket);
    if (bound.ip == 0) bound.ip = fakeplatform::loopback(0).ip;
    return bound;
}

void ProxyScenario::playWithServer(const std::vector<std::string>& options) {
    start(options);
    admitHost();
    connectServer();
    sent();
    console();
}

void ProxyScenario::askServer() {
    settings.serverAddress = server.ip;
    settings.serverPort = server.port;
    startServerConnection();
}

void ProxyScenario::connectServer(uint16_t dataPort) {
    askServer();
    serverData = NetAddress{server.ip, dataPort};
    fromClient(server, proxyServerSide(), wire::accept(dataPort));
}

void ProxyScenario::fromServer(const Bytes& bytes) { fromClient(serverData, proxyServerSide(), bytes); }

std::vector<Datagram> ProxyScenario::to(const std::vector<Datagram>& all, const NetAddress& address) {
    std::vector<Datagram> out;
    for (const Datagram& d : all)
        if (d.to == address) out.push_back(d);
    return out;
}
