// bench_slow_model: a local stand-in for the model service's chat endpoint.
// Every POST to /openai/deployments/<name>/chat/completions is answered after
// --delay seconds with a short structured summary; anything else is a 404.
// Listens on 127.0.0.1 on a free port, writes the port to --port-file, and
// runs until killed.
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  double delay = 1.0;
  std::string port_file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--delay" && i + 1 < argc) {
      delay = std::atof(argv[++i]);
    } else if (a == "--port-file" && i + 1 < argc) {
      port_file = argv[++i];
    } else {
      std::cerr << "usage: bench_slow_model --port-file FILE [--delay SECONDS]\n"
                   "Answers chat completions on 127.0.0.1 after SECONDS (default 1).\n";
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (port_file.empty()) {
    std::cerr << "bench_slow_model: --port-file is required\n";
    return 2;
  }

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.Post(R"(/openai/deployments/[^/]+/chat/completions)", [delay](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    const nlohmann::json message = {{"role", "assistant"},
                                    {"content", "# Summary\n\n## Purpose\n- Benchmark document.\n"}};
    const nlohmann::json body = {
        {"id", "chatcmpl-bench"},
        {"object", "chat.completion"},
        {"choices", nlohmann::json::array({{{"index", 0}, {"finish_reason", "stop"}, {"message", message}}})}};
    res.set_content(body.dump(), "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    std::cerr << "bench_slow_model: cannot listen on 127.0.0.1\n";
    return 1;
  }
  {
    std::ofstream out(port_file);
    out << port << "\n";
  }
  server.listen_after_bind();
  return 0;
}
