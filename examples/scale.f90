! SPDX-License-Identifier: Apache-2.0
! scale (Fortran): multiplies every sample of a dataset by a factor.
!
!   velmodel | ./scale_f factor=2 > out.H
!
! Build:  gfortran -o scale_f scale.f90 $(pkg-config --libs kov)
!
! The library's routines are called with implicit interfaces: texts are
! passed blank-padded with their hidden lengths, every argument by reference.
! Lookups return the number of values found.
program scale
  implicit none
  integer :: getch, hetch, sreed, srite
  integer :: n1, n2, n3, trace_no, nbytes, found
  real :: factor
  real, allocatable :: trace(:)

  call initpar()
  n1 = 0
  n2 = 1
  n3 = 1
  found = hetch('n1', 'd', n1)
  if (found /= 1 .or. n1 <= 0) call koverr('need n1 > 0 in the input history')
  found = hetch('n2', 'd', n2)
  found = hetch('n3', 'd', n3)
  factor = 1.0
  found = getch('factor', 'f', factor)
  call putch('factor', 'f', factor)

  allocate(trace(n1))
  nbytes = 4 * n1
  do trace_no = 1, n2 * n3
    if (sreed('in', trace, nbytes) /= nbytes) call koverr('the input ends early')
    trace = factor * trace
    if (srite('out', trace, nbytes) /= nbytes) call koverr('cannot write a trace')
  end do
  deallocate(trace)
end program scale
