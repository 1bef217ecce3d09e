// Tokens from one configuration: prefixes, the counter file's creation, reset and wrap, and
// the failures that stay final for an activation.
#include "tokens/token_fixture.h"

namespace {

TEST_F(TokenTest, PrefixSevenCountsFromZeroAndCreatesTheCounterFile) {
  WriteToken("7\n");
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(117440512, token);
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(117440513, token);
  EXPECT_EQ(4u, ReadCounterFile().size());
  EXPECT_EQ(2u, CounterValue());
  struct stat status;
  ASSERT_EQ(0, stat(counter_path_.c_str(), &status));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0666u & ~mask, status.st_mode & 0777u);
}

TEST_F(TokenTest, PrefixTextMayHaveBlanksAndTrailingText) {
  WriteToken("  \n\t200 and the rest");
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(static_cast<qiva_int32_t>(0xC8000000u), token);  // prefixes above 127 go negative
  EXPECT_LT(token, 0);
}

TEST_F(TokenTest, BadPrefixGivesInvalidOnEveryCall) {
  for (const char *text : {"300", "no digits", "", "-1", "99999999999999999999"}) {
    SCOPED_TRACE(text);
    WriteToken(text);
    HandConfig hand(token_path_);
    qiva_int32_t token = 42;
    EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), &token));
    WriteToken("7");  // a repaired file is not read again in the same activation
    EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), &token));
    EXPECT_EQ(42, token);
  }
}

TEST_F(TokenTest, MissingTokenFileGivesOsErrorOnEveryCall) {
  HandConfig hand(token_path_);
  qiva_int32_t token = 42;
  EXPECT_EQ(QIVA_ERR_OSERROR, QIVA_token(hand.config(), &token));
  WriteToken("7");
  EXPECT_EQ(QIVA_ERR_OSERROR, QIVA_token(hand.config(), &token));
  EXPECT_EQ(42, token);
  EXPECT_EQ(-1, hand.data()->token_fd);
}

TEST_F(TokenTest, NullArgumentsOrNoTokenFileGiveInvalid) {
  WriteToken("7");
  HandConfig hand(token_path_);
  qiva_int32_t token = 42;
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(nullptr, &token));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), nullptr));
  qiva_config_t inactive{};
  inactive.token_filename = token_path_.c_str();
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(&inactive, &token));
  hand.config()->token_filename = nullptr;
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), &token));
  EXPECT_EQ(42, token);
}

TEST_F(TokenTest, CounterWrapsAtTwoToTheTwentyFourth) {
  WriteToken("7");
  WriteCounter(16777215);
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(0x07FFFFFF, token);
  EXPECT_EQ(0u, CounterValue());
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(0x07000000, token);
}

TEST_F(TokenTest, ShortCounterFileIsResetLongOneKeepsItsTail) {
  WriteToken("1");
  const unsigned char two[2] = {0x55, 0x66};
  WriteFile(counter_path_, two, sizeof two);
  {
    HandConfig hand(token_path_);
    qiva_int32_t token = 0;
    ASSERT_EQ(0, QIVA_token(hand.config(), &token));
    EXPECT_EQ(0x01000000, token);
  }
  EXPECT_EQ((std::vector<unsigned char>{1, 0, 0, 0}), ReadCounterFile());

  uint32_t five = 5;
  unsigned char eight[8] = {0, 0, 0, 0, 'A', 'B', 'C', 'D'};
  memcpy(eight, &five, 4);
  WriteFile(counter_path_, eight, sizeof eight);
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  EXPECT_EQ(0x01000005, token);
  std::vector<unsigned char> bytes = ReadCounterFile();
  ASSERT_EQ(8u, bytes.size());
  EXPECT_EQ(6u, CounterValue());
  EXPECT_EQ(0, memcmp(bytes.data() + 4, "ABCD", 4));
}

TEST_F(TokenTest, UnusableCounterFileGivesOsErrorOnEveryCall) {
  WriteToken("7");
  ASSERT_EQ(0, mkdir(counter_path_.c_str(), 0700));  // a directory cannot be opened for writing
  HandConfig hand(token_path_);
  qiva_int32_t token = 42;
  EXPECT_EQ(QIVA_ERR_OSERROR, QIVA_token(hand.config(), &token));
  EXPECT_EQ(QIVA_ERR_OSERROR, QIVA_token(hand.config(), &token));
  EXPECT_EQ(42, token);
  EXPECT_EQ(nullptr, hand.data()->counter_address);
  EXPECT_EQ(-1, hand.data()->counter_file);
  // The failed increment released the record lock. An open-file-description lock query sees
  // this process's own record locks too (a plain F_GETLK would not).
  int fd = open(token_path_.c_str(), O_RDWR);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  EXPECT_EQ(0, fcntl(fd, F_OFD_GETLK, &lock));
  EXPECT_EQ(F_UNLCK, lock.l_type);
  close(fd);
}

TEST_F(TokenTest, TokenFileNameTooLongForTheCounterPath) {
  // An existing token file whose path is 4092 characters: openable, but path + ".ctr" would
  // not fit in the counter path.
  std::string path = dir_;
  while (path.size() + 201 < 4092 - 20) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(0, mkdir(path.c_str(), 0700)) << path.size();
  }
  path += "/" + std::string(4092 - path.size() - 1, 't');
  ASSERT_EQ(4092u, path.size());
  WriteFile(path, "7", 1);
  HandConfig hand(path);
  qiva_int32_t token = 42;
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), &token));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(hand.config(), &token));
  EXPECT_EQ(42, token);
}

TEST_F(TokenTest, ReleaseUnmapsAndClosesOnce) {
  WriteToken("7");
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  ASSERT_NE(nullptr, hand.data()->counter_address);
  EXPECT_EQ(0, QIVA_shared_counter_release(hand.data()));
  EXPECT_EQ(nullptr, hand.data()->counter_address);
  EXPECT_EQ(-1, hand.data()->counter_file);
  EXPECT_EQ(0, QIVA_shared_counter_release(hand.data()));  // nothing left to release
}

TEST_F(TokenTest, TokensContinueInANewActivation) {
  WriteToken("3");
  qiva_int32_t token = 0;
  {
    HandConfig hand(token_path_);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  }
  HandConfig again(token_path_);
  ASSERT_EQ(0, QIVA_token(again.config(), &token));
  EXPECT_EQ(0x03000005, token);
}

TEST_F(TokenTest, TokensContinueAfterShutdownAndNewInit) {
  WriteToken("9");
  qiva_config_t config{};
  config.server = "null:x";
  config.token_filename = token_path_.c_str();
  int rc = QIVA_init(&config);
  ASSERT_EQ(0, rc);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(&config, &token));
  EXPECT_EQ(0x09000000, token);
  ASSERT_EQ(0, QIVA_token(&config, &token));
  ASSERT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(&config, &token));  // no longer active
  EXPECT_EQ(2u, CounterValue());
  ASSERT_EQ(0, QIVA_init(&config));
  ASSERT_EQ(0, QIVA_token(&config, &token));
  EXPECT_EQ(0x09000002, token);
  EXPECT_EQ(0, QIVA_shutdown(&config));

  qiva_config_t without{};
  without.server = "null:x";
  ASSERT_EQ(0, QIVA_init(&without));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_token(&without, &token));
  EXPECT_EQ(0, QIVA_shutdown(&without));
}

}  // namespace
