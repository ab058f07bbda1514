/* Resource and control ids, shared by the resource script and the code. */
#pragma once

#define IDI_APP 101
#define IDR_PAYLOAD 102
#define IDD_MAIN 103
#define IDD_LICENSE 104
#define IDD_COMPONENTS 105
#define IDD_DIRECTORY 106
#define IDD_PROGRESS 107

/* Buttons shared by the pages. */
#define IDC_FORWARD 1
#define IDC_CANCEL 2
#define IDC_BACK 3
#define IDC_BROWSE 4
#define IDC_SHOW_DETAILS 5

#define IDC_LICENSE_HEADER 1000
#define IDC_COMPONENTS_HEADER 1001
#define IDC_DIRECTORY_HEADER 1002
#define IDC_STATUS 1003
#define IDC_LICENSE_EDIT 1004
#define IDC_FOLDER_EDIT 1005
#define IDC_FIRST_COMPONENT 1006 /* component k is 1006 + k, k = 0 to 7 */
#define IDC_SPARE_BOX 1014
#define IDC_SHORTCUTS 1015
#define IDC_DESTINATION_GROUP 1016
#define IDC_SPACE_AVAILABLE 1017
#define IDC_SPACE_REQUIRED 1018
#define IDC_DETAILS_LIST 1019
#define IDC_PROGRESS_BAR 1020
