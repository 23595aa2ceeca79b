// kesto --help: the commands, and the Microsoft Entra ID sign-in settings by
// name, never their values.
#include <gtest/gtest.h>

#include "support/testing.hpp"

namespace {

TEST(KestoHelp, NamesTheEntraSignInSettingsAndShowsNoValue) {
  testing_support::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> set = {
      {"AZURE_TENANT_ID", "tenant-value-7f3a"},
      {"AZURE_CLIENT_ID", "client-value-91bc"},
      {"AZURE_CLIENT_SECRET", "secret-value-never-shown"},
      {"AZURE_FEDERATED_TOKEN_FILE", "/tmp/token-file-value"},
      {"AZURE_AUTHORITY_HOST", "https://authority-value.example"},
      {"IDENTITY_ENDPOINT", "http://127.0.0.1:1/identity-value"},
      {"IDENTITY_HEADER", "identity-header-value"},
      {"AZURE_TOKEN_CREDENTIALS", "ManagedIdentityCredential"},
      {"PGAUTH", "entra"},
      {"KESTO_CA_BUNDLE", "/tmp/ca-bundle-value.pem"},
  };
  std::string env;
  for (const auto& [name, value] : set) env += name + "='" + value + "' ";
  const testing_support::ProgramRun help = testing_support::kesto(dir.path(), env, "--help");
  ASSERT_EQ(help.status, 0) << help.err;
  for (const auto& [name, value] : set) {
    EXPECT_NE(help.out.find(name), std::string::npos) << name << "\n" << help.out;
    if (name != "AZURE_TOKEN_CREDENTIALS" && name != "PGAUTH") {
      EXPECT_EQ(help.out.find(value), std::string::npos) << value;
      EXPECT_EQ(help.err.find(value), std::string::npos) << value;
    }
  }
  EXPECT_NE(help.out.find("PGAUTH=entra"), std::string::npos);
  EXPECT_NE(help.out.find("  serve "), std::string::npos) << "the commands are still listed";
}

}  // namespace
