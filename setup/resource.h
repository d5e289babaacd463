// Resource ids of setupaid.dll: the settings dialog, its controls and the
// string table. Shared by setupaid.rc and the sources.
#pragma once

#define IDD_BULWARK 1084

// Paging File Bulwark
#define IDC_PAGE_GROUP 1148
#define IDC_PAGE_ENABLE 1130
#define IDC_PAGE_DISABLE 1131
// MFT Bulwark: modes 0, 1, 2 are IDC_MFT_NONE + mode
#define IDC_MFT_GROUP 1147
#define IDC_MFT_NONE 1132
#define IDC_MFT_ALL 1133
#define IDC_MFT_EACH 1134
#define IDC_VOLUMES 1135
#define IDC_VOLUMES_SET 1004
#define IDC_VOLUMES_CLEAR 1005
// Automatic Boot-Time
#define IDC_AUTO_GROUP 1146
#define IDC_AUTO_NEVER 1128
#define IDC_AUTO_ONLY 1129
#define IDC_MFT_FRAGS_LABEL 1142
#define IDC_MFT_FRAGS 1117
#define IDC_MFT_FRAGS_UNIT 1143
#define IDC_PAGE_FRAGS_LABEL 1145
#define IDC_PAGE_FRAGS 1118
#define IDC_PAGE_FRAGS_UNIT 1144
#define IDC_NOTIFICATION 1153
#define IDC_CONFIRMATION 1154
#define IDC_DAYS_LABEL 1141
#define IDC_DAYS 1136
#define IDC_START_LABEL 1030
#define IDC_START 1137
#define IDC_END_LABEL 1031
#define IDC_END 1138
// Buttons (Cancel is IDCANCEL, 2)
#define IDC_OK 1002
#define IDC_HELP_BUTTON 1125

// String table. The hours "12:00 midnight" to "11:00 pm" (24), the days
// lists (20), the fragment list's start, step and end.
#define IDS_HOUR_FIRST 700
#define IDS_HOUR_COUNT 24
#define IDS_ALL_DAY 730
#define IDS_DAY_FIRST 760
#define IDS_DAY_COUNT 20
#define IDS_FRAGS_START 837
#define IDS_FRAGS_STEP 838
#define IDS_FRAGS_END 840
#define IDS_INVALID_DATA 867
#define IDS_DIALOG_CAPTION 870
#define IDS_SAME_TIME 871
#define IDS_NO_END_TIME 872
#define IDS_DRIVE_ENABLED 873
#define IDS_DRIVE_LINE 874
#define IDS_HELP_TOPIC 875
#define IDS_INSTALL_CAPTION 880
#define IDS_ASK_REMOVE 881
#define IDS_ASK_SAVE 882
#define IDS_ASK_CONTINUE 883
