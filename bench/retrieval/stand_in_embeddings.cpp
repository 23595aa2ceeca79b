// bench_stand_in_embeddings: the model service's embedding endpoint on
// 127.0.0.1 (a free port, written to --port-file), answering every POST to
// /openai/deployments/<name>/embeddings with the stand-in vector of its
// "input" (stand_in.hpp, --dim dimensions, default 256). Runs until killed.
#include <httplib.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "stand_in.hpp"

int main(int argc, char** argv) {
  std::string port_file;
  std::size_t dim = 256;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port-file" && i + 1 < argc) {
      port_file = argv[++i];
    } else if (a == "--dim" && i + 1 < argc) {
      dim = static_cast<std::size_t>(std::atol(argv[++i]));
    } else {
      std::cerr << "usage: bench_stand_in_embeddings --port-file FILE [--dim N]\n";
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (port_file.empty() || dim == 0) {
    std::cerr << "bench_stand_in_embeddings: --port-file and a positive --dim are required\n";
    return 2;
  }
  httplib::Server server;
  server.Post(R"(/openai/deployments/[^/]+/embeddings)", [dim](const httplib::Request& req, httplib::Response& res) {
    const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("input") || !body["input"].is_string()) {
      res.status = 400;
      res.set_content(R"({"error":{"code":"400","message":"input must be a string"}})", "application/json");
      return;
    }
    const nlohmann::json item = {{"object", "embedding"}, {"index", 0},
                                 {"embedding", stand_in::embed(body["input"].get<std::string>(), dim)}};
    res.set_content(nlohmann::json{{"object", "list"}, {"data", nlohmann::json::array({item})}, {"model", "stand-in"}}.dump(),
                    "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    std::cerr << "bench_stand_in_embeddings: cannot bind 127.0.0.1\n";
    return 1;
  }
  std::ofstream(port_file) << port << "\n";
  server.listen_after_bind();
  return 0;
}
