// A private header of the fixture framework.
#pragma once
