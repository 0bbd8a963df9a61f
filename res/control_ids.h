// Control ids of the dialog templates; the shell and the templates share them.
#pragma once
#include <cstdint>

constexpr int32_t IDC_EXIT = 1017;

namespace res {

// Main dialog "TARNWICK".
constexpr int32_t IDC_SELECT_GROUP = 1056;
constexpr int32_t IDC_DEVICE_LABEL = 1058;
constexpr int32_t IDC_DEVICE_LIST = 1044;
constexpr int32_t IDC_CONNECTION_LABEL = 1094;
constexpr int32_t IDC_CONNECTION_LIST = 1095;
constexpr int32_t IDC_SERIAL_LABEL = 1107;
constexpr int32_t IDC_SERIAL_EDIT = 1051;
constexpr int32_t IDC_DURATION_LABEL = 1061;
constexpr int32_t IDC_DURATION_EDIT = 1060;
constexpr int32_t IDC_MINUTES_LABEL = 1062;
constexpr int32_t IDC_TEST_MODE_GROUP = 1065;
constexpr int32_t IDC_LOOPBACK = 1038;
constexpr int32_t IDC_BENCHMARK = 1031;
constexpr int32_t IDC_PLUG_DISPLAY = 1052;
constexpr int32_t IDC_START = 1015;
constexpr int32_t IDC_STOP = 1014;
constexpr int32_t IDC_CONFIGURE = 1092;
constexpr int32_t IDC_FLASH_LEDS = 1101;
constexpr int32_t IDC_CLEAR_SERIAL = 1106;
constexpr int32_t IDC_SAVE_LOG = 1024;
constexpr int32_t IDC_RESET_ALL = 1018;
constexpr int32_t IDC_HELP = 1026;
constexpr int32_t IDC_ABOUT = 1021;
constexpr int32_t IDC_LOG_PANEL = 1047;
constexpr int32_t IDC_LOG_SCROLL = 1050;

// Configuration dialog "CONFBOX".
constexpr int32_t IDC_ENDPOINT_GROUP = 1087;
constexpr int32_t IDC_IN_LABEL = 1077;
constexpr int32_t IDC_IN_LIST = 1078;
constexpr int32_t IDC_OUT_LABEL = 1075;
constexpr int32_t IDC_OUT_LIST = 1076;
constexpr int32_t IDC_TYPE_LABEL = 1096;
constexpr int32_t IDC_TYPE_LIST = 1097;
constexpr int32_t IDC_BURST_LABEL = 1080;
constexpr int32_t IDC_BURST_LIST = 1086;
constexpr int32_t IDC_INTERVAL_LABEL = 1088;
constexpr int32_t IDC_INTERVAL_LIST = 1083;
constexpr int32_t IDC_ISO_PACKETS_LABEL = 1098;
constexpr int32_t IDC_ISO_PACKETS_LIST = 1099;
constexpr int32_t IDC_BENCHMARK_GROUP = 1032;
constexpr int32_t IDC_READ = 1071;
constexpr int32_t IDC_WRITE = 1072;
constexpr int32_t IDC_READ_THEN_WRITE = 1069;
constexpr int32_t IDC_READ_AND_WRITE = 1073;
constexpr int32_t IDC_LOOPBACK_GROUP = 1079;
constexpr int32_t IDC_LOAD_LABEL = 1066;
constexpr int32_t IDC_LOAD_TRACKBAR = 1068;
constexpr int32_t IDC_LOAD_EDIT = 1070;
constexpr int32_t IDC_PERCENT_LABEL = 1067;
constexpr int32_t IDC_CHECK_BUS_ERRORS = 1093;
constexpr int32_t IDC_TRANSFER_GROUP = 1059;
constexpr int32_t IDC_TRANSFER_SIZE_LABEL = 1102;
constexpr int32_t IDC_TRANSFER_SIZE_LIST = 1103;
constexpr int32_t IDC_QUEUE_SIZE_LABEL = 1104;
constexpr int32_t IDC_QUEUE_SIZE_LIST = 1105;
constexpr int32_t IDC_CONSTANT = 1023;
constexpr int32_t IDC_CONSTANT_EDIT = 1022;
constexpr int32_t IDC_INCREMENTING = 1004;
constexpr int32_t IDC_RANDOM = 1006;
constexpr int32_t IDC_VERIFY = 1027;
constexpr int32_t IDC_VERBOSE = 1028;
constexpr int32_t IDC_OK = 1;
constexpr int32_t IDC_CANCEL = 2;

// About box "ABOUTBOX".
constexpr int32_t IDC_ABOUT_VERSION = 1053;
constexpr int32_t IDC_ABOUT_ADDRESS = 1051;

// Pictures.
constexpr int32_t IDB_BANNER = 111;
constexpr int32_t IDB_TEST_IN_PROGRESS = 138;

}  // namespace res
