// How other programs find the agent: its hidden top-level control window.
#pragma once

#define CONTROL_WINDOW_CLASS    L"DUZARUDIDI"
#define CONTROL_WINDOW_TITLE    L"DuzaRudIdi"
