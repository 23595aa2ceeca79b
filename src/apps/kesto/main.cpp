// kesto: the command-line entry point of the Kesto indexing pipeline.
#include <iostream>

#include "apps/common/args.hpp"
#include "apps/common/commands.hpp"

namespace {
std::string usage() {
  std::string out =
      "usage: kesto COMMAND [options]\n\n"
      "The Kesto indexing pipeline: Word documents to numbered Markdown, sections,\n"
      "enriched sections and summaries, with their metadata and deletion.\n\ncommands:\n";
  for (const apps::Command& c : apps::commands()) {
    out += "  " + c.name + std::string(c.name.size() < 14 ? 14 - c.name.size() : 1, ' ') + c.summary + "\n";
  }
  out +=
      "\nRun 'kesto COMMAND --help' for a command's options.\n"
      "Exit status: 0 success, 1 the work failed, 2 usage or configuration error.\n"
      "Settings come from the environment and from a .env file in the working directory.\n"
      "\nMicrosoft Entra ID sign-in instead of keys (the first complete set wins; see README):\n"
      "  AZURE_CLIENT_SECRET          client secret, with AZURE_TENANT_ID and AZURE_CLIENT_ID\n"
      "  AZURE_FEDERATED_TOKEN_FILE   workload identity, with AZURE_TENANT_ID and AZURE_CLIENT_ID\n"
      "  IDENTITY_ENDPOINT            managed identity of an app host, with IDENTITY_HEADER\n"
      "  AZURE_TOKEN_CREDENTIALS      keep to one kind; ManagedIdentityCredential for a VM's identity\n"
      "  AZURE_AUTHORITY_HOST         token authority (default https://login.microsoftonline.com)\n"
      "  PGAUTH=entra                 PostgreSQL with a token instead of a password\n"
      "  KESTO_CA_BUNDLE              PEM file of roots trusted besides the system's (HTTPS)\n"
      "Storage signs in with a token when its connection string has no AccountKey or\n"
      "SharedAccessSignature; the model service when AZURE_OPENAI_KEY is not set.\n";
  return out;
}
}  // namespace

int main(int argc, char** argv) {
  const auto args = apps::arguments(argc, argv);
  if (args.empty()) {
    std::cerr << usage();
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << usage();
    return 0;
  }
  for (const apps::Command& c : apps::commands()) {
    if (c.name == args[0]) {
      return apps::guarded("kesto " + c.name, [&] { return c.run({args.begin() + 1, args.end()}); });
    }
  }
  std::cerr << "kesto: error: unknown command '" << args[0] << "' (see kesto --help)" << std::endl;
  return 2;
}
