// The counter harness shared by tallylock and tallybare.
//
// The harness owns main: it checks the argument N, creates and zeroes the
// counter segment, creates five workers that each add 1 to the counter N
// times, reaps them and prints the total. Each program supplies the three
// steps that differ between a guarded and an unguarded counter.
#pragma once

// Run once by the parent after the counter is zeroed and before the first
// worker exists; whatever it sets up is inherited by the workers.
void counter_setup();

// One addition of 1 to the counter, run by a worker on its own attachment.
// Returns false when the addition could not be made as the program means
// it (an unguarded addition in tallylock); the worker then ends with
// status 1, and so does the parent.
bool counter_increment(int *shm);

// Run once by the parent after the last worker has been reaped.
void counter_teardown();
