// Print orientation and the quarter turns of a 1-bit page image.
#pragma once
