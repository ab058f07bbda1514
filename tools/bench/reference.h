/* Resource ids of the bench's reference program: the setup's own. */
#pragma once

#define IDI_REFERENCE_ICON 101
#define IDD_REFERENCE 103
