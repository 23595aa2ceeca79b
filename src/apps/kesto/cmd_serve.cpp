// kesto serve: the pipeline's HTTP door (search, documents, audit, queue,
// reprocess and delete) behind API keys.
#include <signal.h>

#include <csignal>
#include <iostream>
#include <thread>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"
#include "apps/common/settings.hpp"
#include "shared/config.hpp"
#include "shared/errors.hpp"
#include "shared/retrieval.hpp"
#include "shared/serve/http.hpp"
#include "shared/serve/keys.hpp"
#include "shared/web/page.hpp"

namespace {

namespace serve = shared::serve;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop(int) { g_stop = 1; }

int run(const std::vector<std::string>& args) {
  apps::ArgParser p("kesto serve",
                    "Serves the pipeline over HTTP: search, the documents with their sections, audit trail and\n"
                    "artefacts, the work queue, health, readiness and Prometheus metrics, and for operators\n"
                    "reprocessing and verified deletion. Every route but /healthz and /readyz needs\n"
                    "'Authorization: Bearer KEY', a key whose SHA-256 is in KESTO_API_KEYS_FILE.\n"
                    "--new-key NAME ROLE prints a fresh key once and the line to add to that file.");
  p.option("listen", "", "HOST:PORT", "address to listen on (default 127.0.0.1:8080; port 0: any free port)")
      .option("tls-cert", "", "FILE", "PEM certificate: serve HTTPS (with --tls-key)")
      .option("tls-key", "", "FILE", "PEM private key of --tls-cert")
      .option("new-key", "", "NAME", "print a new key for NAME with role ROLE (the one argument) and exit")
      .positional("ROLE", apps::Arity::many, "with --new-key: reader or operator")
      .with_log_level()
      .epilog("Settings: KESTO_API_KEYS_FILE (NAME ROLE SHA256-HEX a line), KESTO_SERVE_THREADS (8),\n"
              "KESTO_SERVE_READ_TIMEOUT (10 s), KESTO_SERVE_WRITE_TIMEOUT (10 s), KESTO_SERVE_REQUEST_TIMEOUT\n"
              "(30 s), KESTO_SERVE_MAX_BODY (65536 bytes), and the database and storage of the other\n"
              "commands. Exit status: 0 stopped by SIGTERM or SIGINT, 1 the server failed, 2 usage or\n"
              "configuration error.");
  const apps::Parsed a = p.parse(args);
  shared::logsetup::configure_root_logger(apps::log_level(a));
  if (a.has("new-key")) {
    const auto roles = a.list("ROLE");
    if (roles.size() != 1) throw apps::UsageError("--new-key NAME takes one ROLE (reader or operator)");
    const serve::keys::NewKey k = serve::keys::make_key(a.get("new-key"), roles.front());
    std::cout << "key (shown once, give it to its holder): " << k.key << "\n"
              << "line for KESTO_API_KEYS_FILE:\n"
              << k.line << std::endl;
    return 0;
  }
  if (!a.list("ROLE").empty()) throw apps::UsageError("ROLE goes with --new-key");

  const auto& settings = shared::config::get();
  std::vector<std::string> missing = apps::missing_settings({apps::Reach::database, apps::Reach::storage});
  if (settings.API_KEYS_FILE.empty()) missing.insert(missing.begin(), "KESTO_API_KEYS_FILE");
  apps::require_settings(missing);
  std::vector<serve::keys::Entry> keys = serve::keys::load(settings.API_KEYS_FILE);

  // The first question should not wait for the vector index to be read or
  // built: its file is brought up to date before the door opens.
  try {
    shared::logsetup::get_logger("kesto.serve").info(shared::retrieval::prepare_vectors());
  } catch (const std::exception& e) {
    shared::logsetup::get_logger("kesto.serve").warning(std::string("vector index not prepared: ") + e.what());
  }

  serve::http::Options options = serve::http::options_from_settings(a.get("listen", "127.0.0.1:8080"));
  options.tls_cert = a.get("tls-cert", "");
  options.tls_key = a.get("tls-key", "");
  serve::http::Server server(options, keys);
  shared::web::page::mount(server, std::move(keys));
  const int port = server.bind();

  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::thread stopper([&] {
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
  });
  const std::string host = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::cout << "listening on " << (options.tls_cert.empty() ? "http" : "https") << "://" << host << ":" << port
            << std::endl;
  server.run();
  g_stop = 1;
  stopper.join();
  return 0;
}

apps::RegisterCommand reg{{"serve", "serve the pipeline over HTTP (search, documents, audit, operator actions)", run}};

}  // namespace
