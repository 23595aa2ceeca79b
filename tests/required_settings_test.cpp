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
