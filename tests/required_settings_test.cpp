#include "shared/required_settings.hpp"

#include <gtest/gtest.h>

#include "support/testing.hpp"

using namespace shared::required_settings;
using V = std::vector<std::string>;

TEST(RequiredSettings, NamedInTheOrderOfTheReachesEachOnce) {
  shared::config::Settings s;
  s.PGUSER = "kesto";
  s.AZURE_OPENAI_KEY = "set";
  testing_support::ScopedSettings scoped(s);
  EXPECT_EQ(missing({Reach::database, Reach::storage}),
            (V{"PGHOST", "PGDATABASE", "STORAGE_ACCOUNT_CONNECTION_STRING", "STORAGE_CONTAINER_NAME"}));
  EXPECT_EQ(missing({Reach::summary_model, Reach::embedding_model}),
            (V{"AZURE_OPENAI_ENDPOINT", "OPENAI_SUMMARY_MODEL", "AZURE_OPENAI_API_VERSION"}));
  EXPECT_EQ(missing({Reach::source_storage, Reach::registry}),
            (V{"TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING", "TOLVAN_STORAGE_CONTAINER_NAME", "TOLVANSTORE_HOST",
               "TOLVANSTORE_USER", "TOLVANSTORE_PASSWORD", "TOLVANSTORE_SCHEMA", "TOLVANSTORE_TABLE"}));
  EXPECT_EQ(missing({}), V{});
}

TEST(RequiredSettings, SignedInWithEntraIdTheKeyAndRegistryPasswordAreNotMissing) {
  shared::config::Settings s;
  s.AZURE_OPENAI_ENDPOINT = "https://m.example";
  s.OPENAI_SUMMARY_MODEL = "sum";
  s.TOLVANSTORE_HOST = "h";
  s.TOLVANSTORE_USER = "u";
  s.TOLVANSTORE_SCHEMA = "ops";
  s.TOLVANSTORE_TABLE = "t";
  {
    testing_support::ScopedSettings scoped(s);
    EXPECT_EQ(missing({Reach::summary_model, Reach::registry}), (V{"AZURE_OPENAI_KEY", "TOLVANSTORE_PASSWORD"}));
  }
  s.IDENTITY_ENDPOINT = "http://127.0.0.1:42356/msi/token";
  s.IDENTITY_HEADER = "h";
  s.PGAUTH = "entra";
  testing_support::ScopedSettings scoped(s);
  EXPECT_EQ(missing({Reach::summary_model, Reach::registry}), V{});
}
