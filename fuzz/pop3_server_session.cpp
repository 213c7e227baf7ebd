// Feeds arbitrary bytes as a client's side of a POP3 session through a
// socket pair: the session must answer and end at the end of the input
// (never hang, never crash), whatever commands, line lengths or bytes come,
// and must never delete anything outside the account's folder.
#include "servers/pop3srvmdl.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct World {
    fs::path root = fs::temp_directory_path() / ("brixmoor-fuzz-pop3-" + std::to_string(::getpid()));
    bm::TOptions options;
    bm::TAccountList accounts{options};
    std::unique_ptr<bm::TLocalPOP3ServerMdl> server;

    World()
    {
        fs::create_directories(root / "data" / "Home");
        auto account = std::make_shared<bm::TAccount>(options);
        account->SetName("Home");
        account->Incoming().SetUserName("u");
        account->Incoming().SetServer("h");
        account->Incoming().SetPassword("p");
        accounts.Add(account);
        bm::TPOP3ServerSettings settings;
        settings.accounts = &accounts;
        settings.dataFolder = root / "data";
        settings.timeouts = {1000, 1000, 1000};
        server = std::make_unique<bm::TLocalPOP3ServerMdl>(settings);
    }
    // Two messages, refreshed for every input (DELE may remove them), and a
    // file beside the data folder that no command may reach.
    void Refill()
    {
        const fs::path inbox = root / "data" / "Home";
        WriteFile(inbox / "a.msg", "Subject: a\r\n\r\nbody\r\n..dot\r\n.\r\n");
        WriteFile(inbox / "b.msg", "no header end\r\n.\r\n");
        WriteFile(root / "outside.msg", "x.\r\n");
    }
    static void WriteFile(const fs::path& file, const std::string& text)
    {
        if (FILE* f = std::fopen(file.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static World world;
    world.Refill();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    // The client side: send the input, then read replies until the session ends.
    std::thread client([fd = fds[1], data, size] {
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        char buffer[65536];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        ::close(fd);
    });
    {
        bm::TcpConnection connection(fds[0], "fuzz");
        world.server->ServeConnection(connection);
    }
    client.join();
    if (!fs::exists(world.root / "outside.msg"))
        std::abort();
    return 0;
}
