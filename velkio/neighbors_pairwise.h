/*
 * The neighbour search of velkio_Neighbors_calcNeighbors made by comparing
 * every pair of positions: the same lists in time quadratic in the number
 * of positions.  Not part of the library's interface; the tests and the
 * benchmark check the spatial index of the real search against it.
 */
#ifndef VELKIO_NEIGHBORS_PAIRWISE_H
#define VELKIO_NEIGHBORS_PAIRWISE_H

#include "velkio.h"

int velkio_Neighbors_calcNeighborsPairwise(velkio_Neighbors *neighbors, int algorithm,
                                           int maximum, double threshold);

#endif /* VELKIO_NEIGHBORS_PAIRWISE_H */
