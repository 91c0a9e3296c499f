// String table ids of the agent's user-visible texts.
#pragma once

#define IDS_NETWORK_EDIT        102
#define IDS_VAULT_UNAVAILABLE   104
#define IDS_PRODUCT_NAME        105
#define IDS_VAULT_PATH_BLANK    107
#define IDS_VAULT_NOT_ACCESSIBLE 108
#define IDS_CONNECT_FAILED      109
