// Run-length coding of image bands.
#pragma once
