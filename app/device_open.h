// Opening a printer's device without holding up the rest of the server.
#pragma once

// True while PAPPL opens a printer's device for a job: it holds the printer
// locked meanwhile, so a save of the state, which reads every printer
// holding the whole system, waits until it is done.
bool devicesOpening();
