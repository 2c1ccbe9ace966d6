// Resource and control identifiers of the application.
#pragma once

inline constexpr int IDD_ENLISTORUTILITY_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128; // the application icon
inline constexpr int IDB_BANNER = 130;    // the banner at the top of the dialog

inline constexpr int IDC_DATABASE_SERVER = 1000;
inline constexpr int IDC_DB_SERVER_IP = 1001;
inline constexpr int IDC_DATABASE_NAME = 1002;
inline constexpr int IDC_DB_USER_ID = 1003;
inline constexpr int IDC_DB_USER_PASSWORD = 1004;
inline constexpr int IDC_REGISTER = 1005;
