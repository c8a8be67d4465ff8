# The compact-unwind fixture: a call chain whose functions get the four kinds of encoding the
# linker writes into __unwind_info (frame-based, frameless with an immediate stack size,
# frameless with the size read from the code, and none). Built at test build time with
# clang -target x86_64-apple-macos11 and ld64.lld; tests/crashreporter reads the dylib.
	.section	__TEXT,__text,regular,pure_instructions

# Frame-based: saves rbx and r14 below rbp.
	.globl	_qv_frame_based
	.p2align	4
_qv_frame_based:
	.cfi_startproc
	pushq	%rbp
	.cfi_def_cfa_offset 16
	.cfi_offset %rbp, -16
	movq	%rsp, %rbp
	.cfi_def_cfa_register %rbp
	pushq	%r14
	pushq	%rbx
	.cfi_offset %rbx, -32
	.cfi_offset %r14, -24
	callq	_qv_frameless_immediate
Lframe_based_return:
	popq	%rbx
	popq	%r14
	popq	%rbp
	retq
	.cfi_endproc

# Frameless, 48 bytes of stack with the return address: pushes r14 and rbx.
	.globl	_qv_frameless_immediate
	.p2align	4
_qv_frameless_immediate:
	.cfi_startproc
	pushq	%r14
	.cfi_def_cfa_offset 16
	pushq	%rbx
	.cfi_def_cfa_offset 24
	subq	$24, %rsp
	.cfi_def_cfa_offset 48
	.cfi_offset %rbx, -24
	.cfi_offset %r14, -16
	callq	_qv_frameless_indirect
Lframeless_immediate_return:
	addq	$24, %rsp
	popq	%rbx
	popq	%r14
	retq
	.cfi_endproc

# Frameless with a stack too large for the encoding: the size is the subq immediate.
	.globl	_qv_frameless_indirect
	.p2align	4
_qv_frameless_indirect:
	.cfi_startproc
	pushq	%rbx
	.cfi_def_cfa_offset 16
	subq	$5008, %rsp
	.cfi_def_cfa_offset 5024
	.cfi_offset %rbx, -16
	callq	_qv_no_info
Lframeless_indirect_return:
	addq	$5008, %rsp
	popq	%rbx
	retq
	.cfi_endproc

# No call-frame information at all.
	.globl	_qv_no_info
	.p2align	4
_qv_no_info:
	movl	$4, %eax
	retq

# Where each call returns to, from the start of its function.
	.section	__DATA,__data
	.globl	_qv_return_offsets
	.p2align	3
_qv_return_offsets:
	.quad	Lframe_based_return - _qv_frame_based
	.quad	Lframeless_immediate_return - _qv_frameless_immediate
	.quad	Lframeless_indirect_return - _qv_frameless_indirect

.subsections_via_symbols
